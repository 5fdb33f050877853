# Shared by the .ci scripts, which source it after changing to the project root.
# Runs a command as root: directly when we are root (CI), else through sudo.
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
