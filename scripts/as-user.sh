# Sourced by setup.sh and run.sh: runs a command as the user who called the script. Through
# sudo that is $SUDO_USER, so the build folder and the program's data stay theirs; otherwise
# (a plain user, or root with no sudo around it, as in CI) the caller itself.
as_user() {
  if [[ $(id -u) -eq 0 && -n ${SUDO_USER:-} && $SUDO_USER != root ]]; then
    local home runtime
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    runtime=/run/user/$(id -u "$SUDO_USER")
    # root's runtime folder is no use to the user; without one of theirs Qt makes its own.
    local settings=(-u XDG_RUNTIME_DIR HOME="$home" USER="$SUDO_USER" LOGNAME="$SUDO_USER")
    [[ -d $runtime ]] && settings+=(XDG_RUNTIME_DIR="$runtime")
    runuser -u "$SUDO_USER" -- env "${settings[@]}" "$@"
  else
    "$@"
  fi
}
