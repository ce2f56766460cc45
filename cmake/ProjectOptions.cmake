# One interface target carries what every target of the project is built with: warnings, the
# sanitizers, libFuzzer's coverage, and the Qt defines that keep the code strict. Libraries link
# it PUBLIC, so programs and tests built on them get it too; targets that link no library of ours
# link it themselves.
add_library(uploader_options INTERFACE)

target_compile_options(uploader_options INTERFACE -Wall -Wextra)
if(UPLOADER_WARNINGS_AS_ERRORS)
  target_compile_options(uploader_options INTERFACE -Werror)
endif()

if(UPLOADER_SANITIZE)
  target_compile_options(uploader_options INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(uploader_options INTERFACE -fsanitize=address,undefined)
endif()

if(UPLOADER_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "UPLOADER_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}: "
                        "configure a separate build with CC=clang CXX=clang++")
  endif()
  # The code the fuzz targets exercise lives in the libraries, so everything gets libFuzzer's
  # coverage instrumentation; only the fuzz targets link libFuzzer itself.
  target_compile_options(uploader_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

target_compile_definitions(uploader_options INTERFACE
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_FOREACH
  QT_NO_JAVA_STYLE_ITERATORS
  QT_DISABLE_DEPRECATED_BEFORE=0x060400)
