# One bounded fuzz run for CTest: copies the target's seed corpus into a fresh scratch folder (the
# repository's corpus is never written to), fuzzes for SECONDS seconds and fails on any finding.
#   cmake -DFUZZER=<program> -DCORPUS=<seeds> -DSCRATCH=<folder> -DSECONDS=<n>
#         [-DEXTRA_CORPUS=<read-only seeds>] [-DDICT=<dictionary>] [-DOPTIONS=<more libFuzzer flags>]
#         -P run_fuzzer.cmake
foreach(required FUZZER CORPUS SCRATCH SECONDS)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_fuzzer.cmake: ${required} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${SCRATCH}")
file(MAKE_DIRECTORY "${SCRATCH}/corpus" "${SCRATCH}/artifacts")
file(GLOB seeds "${CORPUS}/*")
if(seeds)
  file(COPY ${seeds} DESTINATION "${SCRATCH}/corpus")
endif()

set(arguments -max_total_time=${SECONDS} -rss_limit_mb=2048 -timeout=30 -print_final_stats=1
              -artifact_prefix=${SCRATCH}/artifacts/)
if(DICT)
  list(APPEND arguments -dict=${DICT})
endif()
if(OPTIONS)
  list(APPEND arguments ${OPTIONS})
endif()
# New inputs go to the first folder only; the others are read.
list(APPEND arguments "${SCRATCH}/corpus")
if(EXTRA_CORPUS AND IS_DIRECTORY "${EXTRA_CORPUS}")
  list(APPEND arguments "${EXTRA_CORPUS}")
endif()

execute_process(COMMAND "${FUZZER}" ${arguments} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB findings "${SCRATCH}/artifacts/*")
  message(FATAL_ERROR "${FUZZER} failed (${result}); inputs kept: ${findings}")
endif()
