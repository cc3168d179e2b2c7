# The capture core's sources, for the program's build and the fuzz build
# alike. Set KELMOR_ROOT to the source tree's root first.
set(KELMOR_CAPTURE_SOURCES
    ${KELMOR_ROOT}/src/capture/Capture.cpp
    ${KELMOR_ROOT}/src/capture/CaptureFiles.cpp
    ${KELMOR_ROOT}/src/capture/CsvFormat.cpp
    ${KELMOR_ROOT}/src/capture/CsvRewrite.cpp
    ${KELMOR_ROOT}/src/capture/DurableAppend.cpp
    ${KELMOR_ROOT}/src/capture/Journal.cpp
    ${KELMOR_ROOT}/src/capture/FileAccess.cpp
    ${KELMOR_ROOT}/src/capture/platform/File.cpp
)
if(WIN32)
    list(APPEND KELMOR_CAPTURE_SOURCES
         ${KELMOR_ROOT}/src/capture/platform/FileWindows.cpp
         ${KELMOR_ROOT}/src/capture/platform/WindowsText.cpp)
else()
    list(APPEND KELMOR_CAPTURE_SOURCES ${KELMOR_ROOT}/src/capture/platform/FilePosix.cpp)
endif()
