# bash completion for vorel-speech-client
_vorel_speech_client() {
  local cur prev words cword
  _init_completion -s || return

  local commands="platform locales status install transcribe dictate learn forget help"
  local command="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      --helper | --locale | --format | --max-line-width | --max-duration | --output | -o) ((i++)) ;;
      -*) ;;
      *) command="${words[i]}"; break ;;
    esac
  done

  case "$prev" in
    --format)
      COMPREPLY=($(compgen -W "text txt srt vtt json" -- "$cur"))
      return ;;
    --output | -o | --helper)
      _filedir
      return ;;
    --locale | --max-line-width | --max-duration)
      return ;;
  esac

  if [[ -z "$command" ]]; then
    if [[ "$cur" == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version --helper" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    fi
    return
  fi

  local options="--help --json"
  case "$command" in
    transcribe) options+=" --locale --format --output -o --max-line-width --max-duration" ;;
    dictate) options+=" --locale --realtime" ;;
    learn) options="--help --locale --list" ;;
    forget) options="--help --locale" ;;
    help) COMPREPLY=($(compgen -W "$commands" -- "$cur")); return ;;
  esac
  if [[ "$cur" == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
    return
  fi
  case "$command" in
    transcribe | dictate) _filedir '@(wav|WAV|flac|FLAC|ogg|OGG|oga|opus|mp3|MP3|raw|pcm)' ;;
    learn) _filedir ;;
  esac
}
complete -F _vorel_speech_client vorel-speech-client
