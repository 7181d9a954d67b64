#include "ClientHelp.h"

#include <cstdio>

namespace vorel::client {

const std::map<std::string, std::string> helpTexts = {
    {"", R"(usage: vorel-speech-client [--helper PATH] COMMAND [ARGS]

Speech on this machine, through the vorel-speech helper.

commands:
  platform                 whether speech is available here
  locales                  the locales speech recognition knows, yours first
  status LOCALE            whether a locale's speech model is installed
  install LOCALE           install a locale's speech model, with progress
  transcribe FILE          the text of an audio file, with timestamps or as subtitles
  dictate [FILE|-]         live dictation of a file, or of raw 48 kHz audio on standard input

Run "vorel-speech-client COMMAND --help" for a command's options.
The helper is looked for beside this program unless --helper names it.
)"},
    {"platform", R"(usage: vorel-speech-client platform [--json]

Says whether this system can serve speech. --json prints the helper's record unchanged.
)"},
    {"locales", R"(usage: vorel-speech-client locales [--json]

Lists the locales speech recognition supports, the user's own first.
)"},
    {"status", R"(usage: vorel-speech-client status LOCALE [--json]

Says whether the speech model of LOCALE (en-US, fr_FR, de ...) is installed.
)"},
    {"install", R"(usage: vorel-speech-client install LOCALE [--json]

Installs the speech model of LOCALE, showing the download's progress on standard error.
)"},
    {"transcribe", R"(usage: vorel-speech-client transcribe FILE [--locale L] [--format F] [--json]

Transcribes an audio file (WAV, FLAC, Ogg, MP3 ...). Progress goes to standard error; the text
goes to standard output in the format F:
  text  timestamped lines (the default)    srt   SubRip subtitles
  txt   the text alone, a line a segment   vtt   WebVTT subtitles
  json  a JSON array of segments
The locale defaults to the first one "locales" lists. --json prints the helper's lines unchanged.
)"},
    {"dictate", R"(usage: vorel-speech-client dictate [FILE|-] [--locale L] [--realtime] [--json]

Streams audio to the helper as a live dictation: a file in any format the helper reads, or with
"-" (the default) raw signed 16-bit little-endian mono audio at 48000 Hz on standard input, e.g.
  arecord -f S16_LE -r 48000 -c 1 | vorel-speech-client dictate -
Text being recognised updates in place on one line of standard error; each settled segment is
printed on standard output with its time. --realtime paces a file at the speed of speech.
Ctrl-C ends the audio; the last segments still arrive. A second Ctrl-C stops at once.
)"},
};

int usage(const std::string& command, const std::string& problem) {
  std::fprintf(stderr, "vorel-speech-client: %s\n\n%s", problem.c_str(),
               helpTexts.at(command).c_str());
  return usageError;
}

}  // namespace vorel::client
