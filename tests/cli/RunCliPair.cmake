# Runs vqmp-cli twice on one program folder, the second run after the first, and checks
# that the first succeeded and what the second printed: a chain of commands that needs the
# emulated machine kept between two runs.
# -DEXE=program -DEMU=emulator (may be empty) -DHOME=folder (made afresh, passed as --home)
# -DFIRST=a|b|c -DSECOND=a|b|c -DOUT=regex [-DRC2=the second run's exit code, 0 if not given]
file(REMOVE_RECURSE "${HOME}")
file(MAKE_DIRECTORY "${HOME}")
string(REPLACE "|" ";" first "${FIRST}")
string(REPLACE "|" ";" second "${SECOND}")
list(APPEND first --home "${HOME}")
list(APPEND second --home "${HOME}")
execute_process(COMMAND ${EMU} ${EXE} ${first} RESULT_VARIABLE rc1 OUTPUT_VARIABLE out1
                ERROR_VARIABLE err1)
if(NOT rc1 EQUAL 0)
  message(FATAL_ERROR "vqmp-cli ${first}\nexit code ${rc1}\n--- stdout\n${out1}--- stderr\n${err1}")
endif()
execute_process(COMMAND ${EMU} ${EXE} ${second} RESULT_VARIABLE rc2 OUTPUT_VARIABLE out2
                ERROR_VARIABLE err2)
if(NOT DEFINED RC2)
  set(RC2 0)
endif()
if(NOT rc2 EQUAL RC2 OR NOT out2 MATCHES "${OUT}")
  message(FATAL_ERROR "vqmp-cli ${second}\nexit code ${rc2}, expected ${RC2} and stdout matching "
                      "${OUT}\n--- stdout\n${out2}--- stderr\n${err2}")
endif()
