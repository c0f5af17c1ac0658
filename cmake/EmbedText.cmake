# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=symbol -P EmbedText.cmake
# Writes a C++ source defining `extern const char NAME[]`: the file's bytes
# and a terminating NUL, so a program carries a text from the source tree.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}; do not edit.\nextern const char ${NAME}[];\nconst char ${NAME}[] = {\n${bytes}0};\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
