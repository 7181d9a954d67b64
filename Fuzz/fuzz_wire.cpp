// Fuzzes Wire::decode for every record type: whatever decodes encodes to one line that decodes
// back to an equal record.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "SpeechWire.h"

namespace {

template <class Record>
void roundTrip(std::string_view bytes) {
  auto record = vorel::Wire::decode<Record>(bytes);
  if (!record) return;
  auto encoded = vorel::Wire::encode(*record);
  if (!encoded || encoded->find('\n') != std::string::npos) std::abort();
  auto again = vorel::Wire::decode<Record>(*encoded);
  if (!again || !(*again == *record)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  roundTrip<vorel::SpeechEvent>(bytes);
  roundTrip<vorel::SpeechSegment>(bytes);
  roundTrip<vorel::AssetState>(bytes);
  roundTrip<vorel::PlatformStatus>(bytes);
  roundTrip<vorel::LocalesLine>(bytes);
  roundTrip<vorel::VoiceEvent>(bytes);
  roundTrip<vorel::VoiceEventEnvelope>(bytes);
  return 0;
}
