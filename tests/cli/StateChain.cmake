# vqmp-cli commands in a row on one emulated station: what one command leaves, the next one
# finds, until "sim reset".
# -DEXE=program -DEMU=emulator (may be empty) -DHOME=folder (made afresh) -DSRC=source tree
cmake_minimum_required(VERSION 3.21)
file(REMOVE_RECURSE "${HOME}")
file(MAKE_DIRECTORY "${HOME}")
set(st ${SRC}/examples/station16.json)
set(state "${HOME}/sim-state/16-port_station")

# step(NAME what RC code [OUT regex] [ERR regex] ARGS arg...)
function(step)
  cmake_parse_arguments(S "" "NAME;RC;OUT;ERR" "ARGS" ${ARGN})
  execute_process(COMMAND ${EMU} ${EXE} --home ${HOME} --time-scale 0 ${S_ARGS}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(why "")
  if(NOT "${rc}" STREQUAL "${S_RC}")
    string(APPEND why "exit code ${rc}, expected ${S_RC}\n")
  endif()
  if(DEFINED S_OUT AND NOT out MATCHES "${S_OUT}")
    string(APPEND why "stdout does not match: ${S_OUT}\n")
  endif()
  if(DEFINED S_ERR AND NOT err MATCHES "${S_ERR}")
    string(APPEND why "stderr does not match: ${S_ERR}\n")
  endif()
  if(why)
    message(FATAL_ERROR "${S_NAME}: vqmp-cli ${S_ARGS}\n${why}--- stdout\n${out}--- stderr\n${err}")
  endif()
endfunction()

# A board pulled by one command is still missing in the next one's scan.
file(WRITE "${HOME}/unplug.txt" "unplug hubA 3\n")
step(NAME "pull slot 3" RC 0 OUT "event   removal  interface"
     ARGS --sim ${st} sim --script ${HOME}/unplug.txt)
step(NAME "scan without it" RC 0 OUT "devices: 15\n" ARGS --sim ${st} scan)
step(NAME "sim reset" RC 0 OUT "back at the scenario's initial state" ARGS --sim ${st} sim reset)
step(NAME "scan with it" RC 0 OUT "devices: 16\n" ARGS --sim ${st} scan)

# A new identity written through raw blocks and taken at the board's reset is the one the
# next command's scan shows.
step(NAME "raw and reset" RC 0 OUT "identity  1234:5678  Acme  New Disk  NEW0001"
     ARGS --sim ${st} sim --script ${SRC}/examples/scripts/reset-demo.txt)
step(NAME "scan the new identity" RC 0 OUT "\n +1 +[0-9]+ +1234 +5678 +NEW0001 "
     ARGS --sim ${st} scan)

# A state file that is not one is refused; a reset clears it.
file(WRITE "${state}/machine.state" "[setting]\n")
step(NAME "damaged state" RC 3 ERR "not a state file.*sim reset" ARGS --sim ${st} scan)
step(NAME "reset after damage" RC 0 ARGS --sim ${st} sim reset)
step(NAME "scan after damage" RC 0 OUT "\n +1 +[0-9]+ +7E8A +2429 +000000000001 "
     ARGS --sim ${st} scan)

# The same scenario in another file keeps the machine; a changed one starts afresh.
file(COPY_FILE ${st} "${HOME}/station.json")
step(NAME "same scenario" RC 0 ERR "^$" ARGS --sim ${HOME}/station.json scan)
file(APPEND "${HOME}/station.json" "\n")
step(NAME "changed scenario" RC 0 ERR "changed since the station was kept: it starts afresh"
     ARGS --sim ${HOME}/station.json scan)
