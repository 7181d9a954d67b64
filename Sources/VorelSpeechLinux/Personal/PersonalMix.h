// The writer's language model mixed with the general one, in a loaded PocketSphinx decoder:
// their names, words and phrases can win where the general model makes them too rare.
#pragma once

#include <filesystem>

#include "ModelFiles.h"

struct ps_decoder_s;

namespace vorel::linuxplatform {

// The share of the writer's own language model beside the general one. The library mixes the
// models' scores after the language weight (-lw 6.5), so a share w weighs a probability as
// about w^(1/6.5): 0.1 counts as 0.7. Measured on a personal journal: 0.01 to 0.5 hear the
// same share of the writer's words; 0.1 has the fewest errors, and 0.2 and 0.3 lose general
// words.
inline constexpr float personalWeight = 0.1f;

// Makes the decoder search with its general language model mixed with the n-gram model at
// `personalModel` (ARPA), at `personalWeight`; whether it could. Measured: the mix makes a
// decode 1.1 to 2 times slower; adding the words to the general model instead is what the
// library cannot do (its decodes crash once such a word is a history).
bool mixPersonalModel(ps_decoder_s* decoder, const std::filesystem::path& personalModel);

// The model without the writer's language model: the general one alone.
ModelFiles withoutPersonalModel(ModelFiles model);

}  // namespace vorel::linuxplatform
