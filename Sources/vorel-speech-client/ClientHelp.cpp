#include "ClientHelp.h"

#include <cstdio>

#include "Output.h"

namespace vorel::client {

const std::map<std::string, std::string> helpTexts = {
    {"", R"(usage: vorel-speech-client [--helper PATH] COMMAND [ARGS]
       vorel-speech-client help [COMMAND]
       vorel-speech-client --version

Speech on this machine, through the vorel-speech helper.

commands:
  platform                 whether speech is available here
  locales                  the locales speech recognition knows, yours first, installed marked
  status LOCALE            whether a locale's speech model is installed
  install LOCALE           install a locale's speech model, with progress
  transcribe FILE...       the text of audio files, with timestamps or as subtitles
  dictate [FILE|-]         live dictation of the microphone, a file or standard input
  learn FILE...            learn your names, places and phrases from your own writing
  forget [NAME...]         forget what was learnt (all of it, or the files named)

Run "vorel-speech-client help COMMAND" for a command's options. Options take their value after
a space or "=" (--format=srt); "--" ends the options, so that a file may start with a dash.
The helper is looked for beside this program, or where it was installed, unless --helper names
it.

Exit status: 0 done; 1 failed (also with --json); 2 a wrong command line; 130 stopped by Ctrl-C.
)"},
    {"platform", R"(usage: vorel-speech-client platform [--json]

Says whether this system can serve speech. --json prints the helper's record unchanged.
)"},
    {"locales", R"(usage: vorel-speech-client locales [--json]

Lists the locales speech recognition supports, the user's own first, with (installed) after
those whose model is installed: the models installed, and those a catalog offers (see
vorel-speech-client help install). A catalog that cannot be read is reported on standard error.
)"},
    {"status", R"(usage: vorel-speech-client status LOCALE [--json]

Says whether the speech model of LOCALE (en-US, fr_FR, de ...) is installed, and how many
words of your own writing have been learnt for it.
)"},
    {"install", R"(usage: vorel-speech-client install LOCALE [--json]

Installs the speech model of LOCALE, showing the download's progress on standard error.
Models come from catalogs: $XDG_DATA_HOME/vorel-speech/catalog.json (~/.local/share by default)
and /usr/share/vorel-speech/catalog.json, each a JSON list of where to download them:
  {"models":[{"locale":"fr-FR","url":"https://example.org/fr-FR.tar.gz",
              "sha256":"<hex>","size":123456789}]}
The archive holds a PocketSphinx model (an acoustic model folder, a language model and a
dictionary). Without a catalog only the models installed on the system are there (Debian's
pocketsphinx-en-us gives en-US).
)"},
    {"transcribe",
     R"(usage: vorel-speech-client transcribe FILE... [--locale L] [--format F] [-o OUT]
                                  [--max-line-width N] [--max-duration S] [--json]

Transcribes audio files (WAV, FLAC, Ogg Vorbis, Opus, MP3; not M4A/AAC: convert those first,
e.g. ffmpeg -i talk.m4a talk.wav). Progress goes to standard error; the text goes to standard
output, or to OUT with -o ("-o -" is standard output), in the format F, by default the one
OUT's extension names (-o talk.srt):
  text  timestamped lines (the default)    srt   SubRip subtitles
  txt   the text alone, a line a segment   vtt   WebVTT subtitles
  json  a JSON array of segments
Subtitle cues hold at most two lines of N characters (default 42) and last at most S seconds
(default 7). With several files, text and txt come one after another under "==> FILE <==",
and other formats go beside each file (talk.wav: talk.srt). "-" reads standard input: an audio
file, or else raw signed 16-bit little-endian mono audio at 48000 Hz.
Without --locale: yours when its model is installed, else the first installed one (said on
standard error). --json prints the helper's lines unchanged.
Ctrl-C stops; what was transcribed so far is kept, as a whole document.
)"},
    {"dictate", R"(usage: vorel-speech-client dictate [FILE|-] [--locale L] [--realtime] [--json]

Live dictation: of the default microphone (PulseAudio or PipeWire) when no FILE is given, of an
audio file, or with "-" of standard input: a WAV, FLAC, Ogg or MP3 stream (told by its header
or its first frames), or else raw signed 16-bit little-endian mono audio at 48000 Hz, e.g.
  arecord -f S16_LE -r 48000 -c 1 | vorel-speech-client dictate -
Text being recognised updates in place on one line of standard error; each settled segment is
printed on standard output with its time. --realtime paces a file at the speed of speech.
Ctrl-C ends the audio and shows "Finishing…" until the last segments arrive (at most 10 s,
after which the text heard so far is kept as the last segment); a second Ctrl-C keeps what has
been shown. Either way the status is 130.
)"},
    {"learn", R"(usage: vorel-speech-client learn FILE... [--locale L]
       vorel-speech-client learn --list [--locale L]

Learns from your own writing (UTF-8 text: journal entries, notes, letters), so that your
friends' names, your places and your phrases are recognised: each FILE (or "-" for standard
input) is kept as your text for the locale, and the words the recogniser did not know are given
pronunciations. Learning a file of the same name again replaces it. At most 20 MB of text is
used. --list shows the files learnt, their words, and the words that were new.
The text is kept in $XDG_DATA_HOME/vorel-speech/personal/LOCALE/ (~/.local/share by default);
any *.txt put there is learnt the same way.
)"},
    {"forget", R"(usage: vorel-speech-client forget [NAME...] [--locale L]

Forgets your text for the locale: the files named (as learn --list shows them), or all of it.
)"},
};

int usage(const std::string& command, const std::string& problem) {
  std::string help =
      command.empty() ? "vorel-speech-client --help" : "vorel-speech-client " + command + " --help";
  warn(problem + " (see " + help + ")");
  return usageError;
}

}  // namespace vorel::client
