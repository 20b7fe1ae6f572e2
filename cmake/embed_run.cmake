file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" body "${body}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "extern const unsigned char ${SYM}[] = {\n${body}\n};\n"
  "extern const unsigned int ${SYM}Size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
