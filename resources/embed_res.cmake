# Turns the compiled zembrel.res into a C++ byte array that the POSIX port's resource loader reads.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n"
       bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from zembrel.res by embed_res.cmake; the resources as Windows would map them.\n"
"#include <stddef.h>\n\n"
"// Aligned as a module's resource section, so templates can be read in place.\n"
"extern const unsigned char zembrel_res_data[];\n"
"extern const size_t zembrel_res_size;\n"
"alignas(16) const unsigned char zembrel_res_data[] = {\n${bytes}\n};\n"
"const size_t zembrel_res_size = ${size};\n")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
