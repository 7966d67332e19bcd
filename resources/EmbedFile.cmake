# Turns a file into a C++ byte array followed by a zero byte, the way the launcher's
# text resource is laid out. Called with -DINPUT=... -DOUTPUT=... -DSYMBOL=...
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n"
  "extern const unsigned char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}Size;\n"
  "const unsigned char ${SYMBOL}[] = {${bytes} 0x00};\n"
  "const std::size_t ${SYMBOL}Size = ${size};\n")
