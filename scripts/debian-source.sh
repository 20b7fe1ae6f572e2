# Sourced by the MinGW build scripts. fetch_debian_source NAME VERSION unpacks Debian's source
# package NAME=VERSION into the current directory and sets src_dir to the unpacked folder. It
# uses the caller's log and die.
fetch_debian_source() {
  local name=$1 version=$2 apt_opts=(-q)
  log "fetching Debian source $name $version"
  # As root, apt drops to the _apt user for downloads, which cannot write into this private
  # directory; downloading as root is what it would fall back to anyway, minus the warning.
  [ "$(id -u)" -eq 0 ] && apt_opts+=(-o APT::Sandbox::User=root)
  if ! apt-get "${apt_opts[@]}" source "$name=$version" >apt-source.log 2>&1; then
    cat apt-source.log >&2
    die "apt-get source $name=$version failed: are deb-src entries set up and 'apt-get update' done? (scripts/setup.sh does both)"
  fi
  src_dir=$(find "$PWD" -mindepth 1 -maxdepth 1 -type d -name "${name}-*" | head -n1)
}
