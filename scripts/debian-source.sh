# Sourced by the MinGW build scripts; both use the caller's log and die.
#
# mingw_build_args "$@" takes the scripts' arguments, CACHE_DIR [i686|x86_64], and sets cache_dir
# (made absolute) and arch (default i686).
mingw_build_args() {
  [ $# -ge 1 ] && [ $# -le 2 ] && [ -n "$1" ] || die "usage: $0 CACHE_DIR [i686|x86_64]"
  cache_dir=$1
  arch=${2:-i686}
  case $arch in i686|x86_64) ;; *) die "unknown architecture '$arch' (i686 or x86_64)" ;; esac
  case $cache_dir in /*) ;; *) cache_dir=$PWD/$cache_dir ;; esac
}

# fetch_debian_source NAME VERSION unpacks Debian's source package NAME=VERSION into the current
# directory and sets src_dir to the unpacked folder.
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

# locked_fetch NAME VERSION LOCK, with have_cache and prefix set by the caller: waits for the
# cache's lock LOCK (another configure run building the same thing), ends the script when that run
# filled the cache meanwhile, and otherwise clears $prefix, makes a private folder $work beside the
# cache (removed on exit), unpacks the source package there (src_dir) and stays in it.
locked_fetch() {
  local name=$1 version=$2 lock=$3
  mkdir -p "$cache_dir" || die "cannot create the cache directory $cache_dir"
  exec 9>"$cache_dir/$lock.lock"
  flock 9
  if have_cache; then
    echo "$prefix" >&3
    exit 0
  fi
  rm -rf "$prefix"
  work=$(mktemp -d "$cache_dir/$lock.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  cd "$work"
  fetch_debian_source "$name" "$version"
}
