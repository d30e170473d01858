# zorvane_add_module(NAME [NO_CUBLAS] SOURCES...): one Python extension module
# built for the chosen backend. Kernel sources (.cu) are CUDA in the CUDA build
# and plain C++ against the CPU execution layer otherwise. CUDA builds link the
# CUDA runtime, and cuBLAS unless NO_CUBLAS is given. The shared library
# exports only its PyInit_ symbol. With ZORVANE_KERNEL_REPORT, each CUDA unit
# also prints ptxas's resource usage and keeps its PTX in kernel-ptx/ of the
# module's build folder, for scripts/kernel-report.sh.
function(zorvane_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_CUBLAS" "" "")
  set(sources ${arg_UNPARSED_ARGUMENTS})
  if(ZORVANE_RESOLVED_BACKEND STREQUAL "cpu")
    foreach(src IN LISTS sources)
      if(src MATCHES "\\.cu$")
        set_source_files_properties(${src} PROPERTIES LANGUAGE CXX COMPILE_OPTIONS "-xc++")
      endif()
    endforeach()
  endif()
  pybind11_add_module(${name} MODULE ${sources})
  # Products and sums are rounded as written: no fused multiply-adds, so every
  # kernel mode of a gate and the host-side matrices round alike. The kernels
  # are memory-bound; the fused form would buy nothing measurable.
  target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:--fmad=false>
                                         $<$<COMPILE_LANGUAGE:CXX>:-ffp-contract=off>)
  if(ZORVANE_KERNEL_REPORT)
    set(ptx_dir "${CMAKE_CURRENT_BINARY_DIR}/kernel-ptx")
    file(MAKE_DIRECTORY "${ptx_dir}")
    target_compile_options(${name} PRIVATE "$<$<COMPILE_LANGUAGE:CUDA>:-Xptxas=-v;--keep;--keep-dir=${ptx_dir}>")
  endif()
  target_link_libraries(${name} PRIVATE zorvane_common)
  target_compile_definitions(${name} PRIVATE ZORVANE_BACKEND_NAME="${ZORVANE_RESOLVED_BACKEND}")
  if(ZORVANE_RESOLVED_BACKEND STREQUAL "cpu")
    target_link_libraries(${name} PRIVATE zorvane_cpu_layer)
  else()
    target_link_libraries(${name} PRIVATE CUDA::cudart_static)
    if(NOT arg_NO_CUBLAS)
      target_link_libraries(${name} PRIVATE CUDA::cublas)
    endif()
  endif()
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  file(WRITE "${map}" "{ global: PyInit_${name}; local: *; };\n")
  target_link_options(${name} PRIVATE "LINKER:--version-script=${map}" "LINKER:--exclude-libs,ALL")
  set_target_properties(${name} PROPERTIES LINK_DEPENDS "${map}")
  install(TARGETS ${name} LIBRARY DESTINATION .)
endfunction()
