# Builds the Debian package, unpacks it with dpkg -x into an empty root and
# runs the unpacked keva from there: its self-check, its version, an example
# game headless, a video (through the video module in lib/keva), and keva-cc
# on a script that includes keva.h from the SDK.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/root)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("cpack" cpack -G DEB --config ${BUILD}/CPackConfig.cmake -B ${WORK})
file(GLOB debs ${WORK}/keva_*_*.deb)
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one keva_<version>_<arch>.deb in ${WORK}, found: ${debs}")
endif()
run("dpkg-deb --field" dpkg-deb --field ${debs} Depends)
if(NOT out MATCHES "libsdl2" OR NOT out MATCHES "libavcodec" OR NOT out MATCHES "fonts-ipafont-gothic")
  message(FATAL_ERROR "the package's dependencies miss the libraries or the fonts: ${out}")
endif()
run("dpkg -x" dpkg -x ${debs} ${WORK}/root)

set(bin ${WORK}/root/usr/bin)
foreach(f keva keva-cc keva-pack)
  if(NOT EXISTS ${bin}/${f})
    message(FATAL_ERROR "the package has no usr/bin/${f}")
  endif()
endforeach()
foreach(f usr/lib/keva/libkeva_video.so usr/lib/keva/libkeva_midi.so usr/share/keva/sdk/keva.h usr/share/man/man1/keva.1 usr/share/applications/keva.desktop
          usr/share/keva/examples/first/first/main.c)
  if(NOT EXISTS ${WORK}/root/${f})
    message(FATAL_ERROR "the package has no ${f}")
  endif()
endforeach()

run("keva --self-check" ${bin}/keva --self-check)
run("keva --version" ${bin}/keva --version)
if(NOT out MATCHES "^keva [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "keva --version printed: ${out}")
endif()
run("the example first" ${bin}/keva --headless --timeout 60 ${WORK}/root/usr/share/keva/examples/first)
if(NOT out MATCHES "done")
  message(FATAL_ERROR "the installed example did not finish: ${out}")
endif()

# The installed engine finds its video module relative to itself.
file(MAKE_DIRECTORY ${WORK}/video)
run("writing the test clips" ${VIDEO_FIXTURES} write ${WORK}/video)
file(COPY ${WORK}/root/usr/share/keva/sdk/keva.h DESTINATION ${WORK}/video)
file(WRITE ${WORK}/video/main.c [[
#include "keva.h"

int main() {
  int waited;

  if (media_open("clip.avi") != 1) return 1;
  if (media_play() != 1) return 2;
  waited = 0;
  while (media_isplay() && waited < 10000) {
    sleep(20);
    waited = waited + 20;
  }
  if (waited < 300) return 3;
  log_out("video played\n");
  return 0;
}
]])
run("a video" ${bin}/keva --headless --timeout 60 ${WORK}/video/main.c)
if(NOT out MATCHES "video played")
  message(FATAL_ERROR "the installed keva did not play the video: ${out}")
endif()
message(STATUS "installed and played from ${WORK}/root")
