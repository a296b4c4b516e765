# Sourced by the benchmarks (as root): the repository becomes the working
# directory, and the calling script runs again in a private network
# namespace with its loopback up, so its servers and clients reach no other
# network and take no address or port from anything else on this computer.
bench_script=$(realpath "$0")
cd "$(dirname "$bench_script")/.."
if [ -z "${ULX_BENCH_NETNS:-}" ]; then
  exec unshare -n env ULX_BENCH_NETNS=1 "$bench_script" "$@"
fi
ip link set lo up
