# A library's instruction-set paths: exact_path_avx2.cpp and exact_path_avx512.cpp, and
# any further files named after AVX2 or AVX512, each compiled alone with its
# instructions (fused multiply-adds only where written out: contraction stays off),
# added on x86-64 only; `define` (1 or 0) tells the code whether they are there. The
# processor is asked at run time before any is called.
function(tsne_add_vector_paths target define)
  cmake_parse_arguments(PARSE_ARGV 2 EXTRA "" "" "AVX2;AVX512")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(${target} PRIVATE exact_path_avx2.cpp exact_path_avx512.cpp ${EXTRA_AVX2} ${EXTRA_AVX512})
    set_source_files_properties(exact_path_avx2.cpp ${EXTRA_AVX2} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    set_source_files_properties(exact_path_avx512.cpp ${EXTRA_AVX512} PROPERTIES COMPILE_OPTIONS "-mavx512f")
    target_compile_definitions(${target} PRIVATE ${define}=1)
  else()
    target_compile_definitions(${target} PRIVATE ${define}=0)
  endif()
endfunction()
