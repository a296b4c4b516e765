#!/usr/bin/env bash
# Fails when the portable core (control/ web/ tftp/ ui/) includes anything
# but the C++ standard library, the platform interface (platform/*.h) and its
# own headers: only platform/ includes operating-system headers.
#
# It also holds the core to its layers (ULX_CHECK_LAYERS=0 turns that off),
# bottom to top
#   platform/ < control/base/ < ui/ < web/ < tftp/ < control/
# a file including only its own folder or folders below it.
#
#   tools/check-includes.sh [source-root]     (ctest runs it as check_includes)
set -uo pipefail

check_layers=${ULX_CHECK_LAYERS:-1}

root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root" || exit 2

# The C++20 standard library and its C compatibility headers.
standard=" algorithm any array atomic barrier bit bitset charconv chrono codecvt compare complex concepts
  condition_variable coroutine deque exception execution filesystem format forward_list fstream functional future
  initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale map memory memory_resource
  mutex new numbers numeric optional ostream queue random ranges ratio regex scoped_allocator semaphore set
  shared_mutex source_location span sstream stack stdexcept stop_token streambuf string string_view strstream
  syncstream system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set utility valarray
  variant vector version
  cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath csetjmp csignal cstdarg cstddef cstdint cstdio
  cstdlib cstring ctime cuchar cwchar cwctype "
standard=$(echo $standard)  # one space between names
standard=" $standard "

# The layer of a folder, longest prefix first; empty: not a folder of the core.
layer_of() {
    case $1 in
        platform/*) echo 0 ;;
        control/base/*) echo 1 ;;
        ui/*) echo 2 ;;
        web/*) echo 3 ;;
        tftp/*) echo 4 ;;
        control/*) echo 5 ;;
    esac
}

include_line='^[[:space:]]*#[[:space:]]*include[[:space:]]*([<"])([^>"]*)[>"]'

failed=0
complain() {
    echo "$1: $2"
    failed=1
}

while IFS= read -r file; do
    number=0
    while IFS= read -r line; do
        number=$((number + 1))
        [[ $line =~ $include_line ]] || continue
        kind=${BASH_REMATCH[1]}
        name=${BASH_REMATCH[2]}
        where="$file:$number"
        if [ "$kind" = "<" ]; then
            [[ $standard == *" $name "* ]] ||
                complain "$where" "<$name> is not a C++ standard header: only platform/ includes operating-system headers"
            continue
        fi
        [[ $name == */* ]] || continue  # beside the file itself
        to=$(layer_of "$name")
        if [ -z "$to" ]; then
            complain "$where" "\"$name\" is outside the core and its platform interface"
        elif [ "$to" = 0 ] && [[ $name == platform/*/* ]]; then
            complain "$where" "\"$name\" is inside the platform layer: the core includes only platform/*.h"
        elif [ "$check_layers" = 1 ]; then
            from=$(layer_of "$file")
            [ "$to" -le "$from" ] ||
                complain "$where" "\"$name\" is in a layer above ${file%/*}/ (platform/ < control/base/ < ui/ < web/ < tftp/ < control/)"
        fi
    done <"$file"
done < <(find control web tftp ui -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort)

exit $failed
