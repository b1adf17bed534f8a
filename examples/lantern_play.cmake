# Plays the lantern festival headless from recorded input, in a copy of the
# game with its own home and documents folders (the save goes there, never
# into the user's), four times:
#   lantern.input  the whole game: settings, a new game, skipping, the first
#                  branch, the ending; its last frame, its text, the volume
#                  written to configure.cfg (which the copy starts without),
#                  and music in its audio
#   stop.input     a new game stopped with Escape on the third line
#   title.input    the title with a save: Continue lit under the pointer
#   resume.input   Continue: the story goes on at the line the stop run left,
#                  on the same picture
#   cmake -DKEVA=... -DGAME=... -DINPUTS=... -DREFERENCES=... -DWORK=...
#         -DCOMPARE=frame_compare -DWAV_LEVEL=wav_level -P lantern_play.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/home/Documents ${WORK}/home/Pictures)
file(COPY ${GAME}/ DESTINATION ${WORK}/game)
file(REMOVE ${WORK}/game/configure.cfg)

# run(NAME): plays with INPUTS/NAME.input; the output goes to `out`.
function(run name)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env HOME=${WORK}/home XDG_DOCUMENTS_DIR=${WORK}/home/Documents
            XDG_PICTURES_DIR=${WORK}/home/Pictures XDG_CONFIG_HOME=${WORK}/home/.config
            XDG_DATA_HOME=${WORK}/home/.local/share
            ${KEVA} --headless --timeout 60 --text-hook --input ${INPUTS}/${name}.input
            --screenshot ${WORK}/${name}.png --audio-out ${WORK}/${name}.wav ${WORK}/game
    RESULT_VARIABLE status
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
  message("---- ${name}\n${output}${errors}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name}: keva exited with status ${status}")
  endif()
  if(errors MATCHES "ERROR")
    message(FATAL_ERROR "${name}: the run showed an error box")
  endif()
  set(out "${output}" PARENT_SCOPE)
endfunction()

function(expect name regex)
  if(NOT out MATCHES "${regex}")
    message(FATAL_ERROR "${name}: the output does not match '${regex}'")
  endif()
endfunction()

function(same_picture name reference)
  execute_process(COMMAND ${COMPARE} ${REFERENCES}/${reference} ${WORK}/${name}.png
    RESULT_VARIABLE status OUTPUT_VARIABLE report ERROR_VARIABLE report)
  message("${report}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name}: the last frame ${WORK}/${name}.png is not the reference ${reference}; when "
                        "the change is intended, copy the new frame over the reference")
  endif()
endfunction()

run(lantern)
# Each line is drawn once, Japanese then English; the skipped lines too.
expect(lantern "音量  Volume: 80\n音量  Volume: 70\n音量  Volume: 80\nsettings: volume 80 written\n")
expect(lantern "a new game\n川辺に灯籠がゆれている。\nLanterns sway along the riverbank.\n来てくれたんだね。\n")
expect(lantern "今夜は灯籠流しの夜だよ。\n.*彼女は小さな灯籠を両手で持っている。\n.*ねえ、どっちに行こうか。\n")
expect(lantern "choice: Follow the lanterns downstream\n二人で川沿いを歩いた。\n")
expect(lantern "ありがとう。また来年も一緒にね。\nThank you. Let's come again next year.\n")
expect(lantern "夜が明けて、川は静かに光っていた。\n.*おわり\nThe End\n.*the end: [0-9]+ frames drawn")
if(out MATCHES "橋の上から")
  message(FATAL_ERROR "lantern: the second branch was played")
endif()
same_picture(lantern lantern-ending.png)
file(STRINGS ${WORK}/game/configure.cfg volume REGEX "^Volume=")
if(NOT volume STREQUAL "Volume=80")
  message(FATAL_ERROR "lantern: the settings wrote '${volume}' to configure.cfg, not Volume=80")
endif()
# The music plays from the title on: the story's first lines, before any
# click or voice, are not silent.
execute_process(COMMAND ${WAV_LEVEL} ${WORK}/lantern.wav 5000 6500 -40 RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "lantern: no music in ${WORK}/lantern.wav between 5 and 6.5 s")
endif()

run(stop)
expect(stop "来てくれたんだね。\nYou came after all.\n花  Hana\n今夜は灯籠流しの夜だよ。\n")
expect(stop "saved at step 3;")
if(out MATCHES "彼女は")
  message(FATAL_ERROR "stop: the story went past the line it was stopped on")
endif()
same_picture(stop lantern-scene.png)

run(title)
expect(title "a saved game is at step 3\n.*つづきから  Continue\n.*quit from the title")
same_picture(title lantern-title.png)

run(resume)
expect(resume "continuing at step 3\n今夜は灯籠流しの夜だよ。\nTonight we float the lanterns down the river.\n")
expect(resume "saved at step 3;")
same_picture(resume lantern-scene.png)
