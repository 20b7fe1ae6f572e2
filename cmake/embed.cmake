# zt_embed_binary(<out_source> <symbol> <input_file>)
# Generates a C++ source defining `extern const unsigned char <symbol>[]` and
# `extern const unsigned int <symbol>Size` from the bytes of <input_file>.
function(zt_embed_binary out_source symbol input_file)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/embed_${symbol}.cc")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${input_file} -DOUT=${out} -DSYM=${symbol}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_run.cmake
    DEPENDS "${input_file}" ${PROJECT_SOURCE_DIR}/cmake/embed_run.cmake
    VERBATIM)
  set(${out_source} "${out}" PARENT_SCOPE)
endfunction()
