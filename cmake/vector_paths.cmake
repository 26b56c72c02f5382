# A library's instruction-set paths: exact_path_avx2.cpp and exact_path_avx512.cpp, and
# any further AVX-512 files named after `define`, each compiled alone with its
# instructions (fused multiply-adds only where written out: contraction stays off),
# added on x86-64 only; `define` (1 or 0) tells the code whether they are there. The
# processor is asked at run time before any is called.
function(tsne_add_vector_paths target define)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    target_sources(${target} PRIVATE exact_path_avx2.cpp exact_path_avx512.cpp ${ARGN})
    set_source_files_properties(exact_path_avx2.cpp PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
    set_source_files_properties(exact_path_avx512.cpp ${ARGN} PROPERTIES COMPILE_OPTIONS "-mavx512f")
    target_compile_definitions(${target} PRIVATE ${define}=1)
  else()
    target_compile_definitions(${target} PRIVATE ${define}=0)
  endif()
endfunction()
