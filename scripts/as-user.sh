# Sourced by setup.sh and run.sh: runs a command as the user who called the script. Through
# sudo that is $SUDO_USER, so the build folder and the program's data stay theirs; otherwise
# (a plain user, or root with no sudo around it, as in CI) the caller itself.
as_user() {
  if [[ $(id -u) -eq 0 && -n ${SUDO_USER:-} && $SUDO_USER != root ]]; then
    local uid home
    uid=$(id -u "$SUDO_USER")
    home=$(getent passwd "$SUDO_USER" | cut -d: -f6)
    runuser -u "$SUDO_USER" -- env HOME="$home" USER="$SUDO_USER" LOGNAME="$SUDO_USER" \
      XDG_RUNTIME_DIR="/run/user/$uid" "$@"
  else
    "$@"
  fi
}
