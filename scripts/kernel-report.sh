#!/usr/bin/env bash
# GPU kernel report without a GPU. Compiles the CUDA backend of both modules
# for the given architectures (default: 75 80 90) with ZORVANE_KERNEL_REPORT
# on, then prints per kernel and architecture its registers, stack frame,
# spills, static and dynamic shared memory, block size and theoretical
# occupancy (scripts/kernel_report.py).
#
#   scripts/kernel-report.sh [--gate ARCH]... [--hot] [--markdown FILE] [ARCH...]
#
#   --gate ARCH      exit 1, naming the kernel, when a hot-path kernel spills
#                    or falls below 50% theoretical occupancy on ARCH
#   --hot            print only the hot-path kernels
#   --markdown FILE  also write the tables as Markdown (docs/kernel-report.md)
#
# The build is kept in $KERNEL_REPORT_BUILD_DIR (default build/kernel-report):
# its modules are a complete CUDA build for the listed architectures. Every
# kernel unit is recompiled on each run, since ptxas reports only what it
# compiles.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${KERNEL_REPORT_BUILD_DIR:-build/kernel-report}
archs=()
gates=()
report_args=()
markdown_command="scripts/kernel-report.sh"
while [ $# -gt 0 ]; do
  case "$1" in
    --gate) [ $# -ge 2 ] || { echo "kernel-report: --gate needs an architecture" >&2; exit 2; }
            gates+=("$2"); report_args+=(--gate "$2"); shift 2 ;;
    --hot) report_args+=(--hot); shift ;;
    --markdown) [ $# -ge 2 ] || { echo "kernel-report: --markdown needs a file" >&2; exit 2; }
                report_args+=(--markdown "$2"); markdown_command+=" --markdown $2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *[!0-9]*|'') echo "kernel-report: unknown argument '$1' (architectures are numbers: 75 80 90)" >&2; exit 2 ;;
    *) archs+=("$1"); shift ;;
  esac
done
[ ${#archs[@]} -gt 0 ] || archs=(75 80 90)
[ "${archs[*]}" = "75 80 90" ] || markdown_command+=" ${archs[*]}"
known=" $(python3 scripts/kernel_report.py --known-architectures) "
for a in "${archs[@]}"; do
  [[ "$known" == *" $a "* ]] || { echo "kernel-report: no occupancy limits for sm_$a; known:$known" >&2; exit 2; }
done
for g in ${gates[@]+"${gates[@]}"}; do
  [[ " ${archs[*]} " == *" $g "* ]] || { echo "kernel-report: --gate $g names an architecture not built" >&2; exit 2; }
done

nvcc=${CUDACXX:-$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)}
arch_list=$(IFS=';'; echo "${archs[*]}")
mkdir -p "$build"
start=$(date +%s)
if ! cmake -S . -B "$build" -G Ninja -DZORVANE_BACKEND=cuda -DZORVANE_KERNEL_REPORT=ON \
    "-DCMAKE_CUDA_ARCHITECTURES=$arch_list" "-DCMAKE_CUDA_COMPILER=$nvcc" \
    -Dpybind11_DIR="$(python3 -m pybind11 --cmakedir)" >"$build/kernel-configure.log" 2>&1; then
  cat "$build/kernel-configure.log" >&2
  echo "kernel-report: configuring the CUDA build failed" >&2
  exit 2
fi
ptx_dirs=("$build/stavex/kernel-ptx" "$build/plexar/kernel-ptx")
find "$build" -name '*.cu.o' -delete
find "${ptx_dirs[@]}" -type f -delete 2>/dev/null || true
if ! cmake --build "$build" -j "$(nproc)" >"$build/kernel-build.log" 2>&1; then
  grep -v '^ptxas info\|^    [0-9]* bytes stack frame' "$build/kernel-build.log" | tail -n 60 >&2
  echo "kernel-report: the CUDA build failed (log: $build/kernel-build.log)" >&2
  exit 2
fi
# Only the PTX is read; nvcc's other intermediate files are large.
find "${ptx_dirs[@]}" -type f ! -name '*.ptx' -delete
arch_names=$(printf 'sm_%s ' "${archs[@]}")
echo "kernel-report: CUDA build for ${arch_names% } in $(($(date +%s) - start)) s ($build)"

"$build/kernel_launch_table" >"$build/launch-table.tsv"
arch_args=()
for a in "${archs[@]}"; do arch_args+=(--arch "$a"); done
exec python3 scripts/kernel_report.py --log "$build/kernel-build.log" \
  --ptx-dir "${ptx_dirs[0]}" --ptx-dir "${ptx_dirs[1]}" \
  --launch-table "$build/launch-table.tsv" --command "$markdown_command" \
  --toolkit "$("$nvcc" --version | grep -m1 release | sed 's/^Cuda compilation tools, //')" \
  "${arch_args[@]}" ${report_args[@]+"${report_args[@]}"}
