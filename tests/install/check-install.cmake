file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
foreach(f bin/ondira lib/ondira/mirvane share/ondira/vocab_packs/finance.json)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "missing from the installed layout: ${f}")
  endif()
endforeach()
# The installed program finds its rewrite helper inside the installed tree
# (the build-tree self-test covers the rest of resource resolution; running the
# whole self-test a second time here would only repeat it).
execute_process(COMMAND ${PREFIX}/bin/ondira doctor RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT out MATCHES "polish helper[^\n]*present")
  message(FATAL_ERROR "installed doctor did not find the helper (${rc}):\n${out}${err}")
endif()
file(REMOVE_RECURSE ${PREFIX})
