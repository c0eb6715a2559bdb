# Compiles zembrel.rc into a .res for the POSIX port.
# -DCC=<C compiler> -DLLVM_RC=<llvm-rc> -DSOURCE_DIR=<resources folder> -DOUTPUT=<.res file>
#
# llvm-rc would preprocess with a Windows-targeted clang that looks for Windows headers; the
# host's own C preprocessor gives it the same script with our stand-in definitions, and with
# llvm-rc/rccompiler.h for what llvm-rc spells differently from windres.
# llvm-rc reads "/x..." arguments as switches, as rc.exe does: an absolute path such as
# /check/... or /usr/... would be taken for /C or /U. Hence "--" before the script.
foreach(var CC LLVM_RC SOURCE_DIR OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "compile_rc.cmake: -D${var}=... is missing")
  endif()
endforeach()

set(preprocessed ${OUTPUT}.rc.i)
execute_process(
  COMMAND ${CC} -E -P -xc -DRC_INVOKED -I${SOURCE_DIR} -I${SOURCE_DIR}/llvm-rc
          ${SOURCE_DIR}/zembrel.rc -o ${preprocessed}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "preprocessing zembrel.rc failed: ${status}")
endif()
execute_process(
  COMMAND ${LLVM_RC} -no-preprocess -I ${SOURCE_DIR} -FO ${OUTPUT} -- ${preprocessed}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "llvm-rc failed on ${preprocessed}: ${status}")
endif()
