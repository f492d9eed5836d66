# The layers, enforced by the compiler: FFmpeg and libmpv belong to the platform targets
# alone. On Debian their headers sit on the compiler's default search path, so keeping the
# libraries PRIVATE to the platform is not enough; every target above the platform also gets,
# searched before the system's folders, a folder of headers with those names that stop the
# build. A file outside src/platform that includes <libavformat/avformat.h> or
# <mpv/client.h>, or a platform header that does (the ones under detail/), then fails to
# compile, naming the header.

find_path(TRIMWELL_AV_INCLUDE_DIR libavformat/avformat.h PATHS ${LIBAV_INCLUDE_DIRS})
find_path(TRIMWELL_MPV_INCLUDE_DIR mpv/client.h PATHS ${MPV_INCLUDE_DIRS})
set(TRIMWELL_ABOVE_PLATFORM_INCLUDE ${CMAKE_BINARY_DIR}/above-platform-include)
file(GLOB_RECURSE _trimwell_media_headers RELATIVE ${TRIMWELL_AV_INCLUDE_DIR}
  ${TRIMWELL_AV_INCLUDE_DIR}/libavcodec/*.h ${TRIMWELL_AV_INCLUDE_DIR}/libavdevice/*.h
  ${TRIMWELL_AV_INCLUDE_DIR}/libavfilter/*.h ${TRIMWELL_AV_INCLUDE_DIR}/libavformat/*.h
  ${TRIMWELL_AV_INCLUDE_DIR}/libavutil/*.h ${TRIMWELL_AV_INCLUDE_DIR}/libswresample/*.h
  ${TRIMWELL_AV_INCLUDE_DIR}/libswscale/*.h)
file(GLOB _trimwell_mpv_headers RELATIVE ${TRIMWELL_MPV_INCLUDE_DIR}
  ${TRIMWELL_MPV_INCLUDE_DIR}/mpv/*.h)
foreach(header IN LISTS _trimwell_media_headers _trimwell_mpv_headers)
  set(_stop ${TRIMWELL_ABOVE_PLATFORM_INCLUDE}/${header})
  if(NOT EXISTS ${_stop})
    file(WRITE ${_stop}
      "#error \"<${header}> is the platform's own: use the headers of src/platform instead\"\n")
  endif()
endforeach()

# Marks target as above the platform: it may use the platform's headers, never the media
# libraries' own.
function(trimwell_above_platform target)
  target_include_directories(${target} BEFORE PRIVATE ${TRIMWELL_ABOVE_PLATFORM_INCLUDE})
endfunction()
