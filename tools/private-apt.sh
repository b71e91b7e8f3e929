# Sourced by the scripts that fetch Debian packages for the VMs and the sysroot: a
# private apt configuration, so that nothing of the machine's own apt state changes.
# The archive is the one this machine already uses (read from its apt sources); the
# source lines live only as long as the run.
#
#   private_apt STATE TMP ARCH[,ARCH...] SUITE...   -> exports APT_CONFIG, updates the lists
private_apt() {
  state=$1 ptmp=$2 arches=$3
  shift 3
  uri=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$uri" ] || uri=$(sed -n 's/^deb[[:space:]]\{1,\}\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list 2>/dev/null | head -n 1)
  [ -n "$uri" ] || { echo "no archive in this machine's apt sources" >&2; exit 2; }
  mkdir -p "$state/lists/partial" "$state/archives/partial" "$ptmp/parts"
  : > "$ptmp/sources.list"
  for suite in "$@"; do printf 'deb %s %s main\n' "$uri" "$suite" >> "$ptmp/sources.list"; done
  list=$(echo "$arches" | sed 's/\([^,]*\)/"\1";/g; s/,/ /g')
  cat > "$ptmp/apt.conf" <<CONF
Dir::State::Lists "$state/lists";
Dir::Etc::SourceList "$ptmp/sources.list";
Dir::Etc::SourceParts "$ptmp/parts";
Dir::Cache "$state";
Dir::Cache::archives "$state/archives";
Dir::State::status "/dev/null";
APT::Architecture "${arches%%,*}";
APT::Architectures { $list };
APT::Sandbox::User "root";
Acquire::Languages "none";
CONF
  export APT_CONFIG="$ptmp/apt.conf"
  apt-get update -qq >/dev/null
}
