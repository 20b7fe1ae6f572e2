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

# zt_embed_key_bytes(<out_var> <name> <input_der> <size> <what>)
# Generates <name> in the binary directory (its path in <out_var>): the bytes of <input_der> as a
# comma-separated list for an initializer. The build stops when the file does not hold exactly
# <size> bytes (the key place's fixed size for <what>).
function(zt_embed_key_bytes out_inc name input_file size what)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${name}")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${input_file} -DOUT=${out} -DSIZE=${size} -DWHAT=${what}
            -P ${PROJECT_SOURCE_DIR}/cmake/embed_key_run.cmake
    DEPENDS "${input_file}" ${PROJECT_SOURCE_DIR}/cmake/embed_key_run.cmake
    VERBATIM)
  set(${out_inc} "${out}" PARENT_SCOPE)
endfunction()
