file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
# The privacy policy sits beside the hub page, which links to it, so it reads offline.
foreach(f bin/ondira lib/ondira/mirvane share/ondira/vocab_packs/finance.json share/ondira/ondira_hub.html
          share/ondira/privacy-policy.html)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "missing from the installed layout: ${f}")
  endif()
endforeach()
# The desktop entry: in the application menu with its icon, started with a
# link as its argument, and the handler of ondira:// links.
set(entry ${PREFIX}/share/applications/com.ondira.app.desktop)
foreach(f share/applications/com.ondira.app.desktop share/icons/hicolor/scalable/apps/com.ondira.app.svg)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "missing from the installed layout: ${f}")
  endif()
endforeach()
file(READ ${entry} desktop)
foreach(line "Exec=${PREFIX}/bin/ondira %u" "MimeType=x-scheme-handler/ondira;" "Icon=com.ondira.app" "Type=Application")
  string(FIND "${desktop}" "\n${line}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the desktop entry lacks the line \"${line}\":\n${desktop}")
  endif()
endforeach()
find_program(VALIDATE desktop-file-validate REQUIRED)
execute_process(COMMAND ${VALIDATE} ${entry} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "the desktop entry does not validate:\n${out}")
endif()
# The install registered the link handler in the prefix's cache.
file(READ ${PREFIX}/share/applications/mimeinfo.cache cache)
string(FIND "${cache}" "x-scheme-handler/ondira=com.ondira.app.desktop;" at)
if(at EQUAL -1)
  message(FATAL_ERROR "ondira:// is not registered in mimeinfo.cache:\n${cache}")
endif()
# The installed program finds its rewrite helper inside the installed tree
# (the build-tree self-test covers the rest of resource resolution; running the
# whole self-test a second time here would only repeat it).
execute_process(COMMAND ${PREFIX}/bin/ondira doctor RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT out MATCHES "polish helper[^\n]*present")
  message(FATAL_ERROR "installed doctor did not find the helper (${rc}):\n${out}${err}")
endif()
file(REMOVE_RECURSE ${PREFIX})
