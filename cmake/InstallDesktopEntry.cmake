# Runs at install time (cmake --install): writes the desktop entry with the
# installed executable's path and refreshes the desktop's caches so the
# ondira:// handler and the icon are found at once. A staged install
# (DESTDIR) leaves the caches to the package's own triggers.
if(IS_ABSOLUTE "${ONDIRA_BINDIR}")
  set(ONDIRA_INSTALLED_EXECUTABLE "${ONDIRA_BINDIR}/ondira")
else()
  set(ONDIRA_INSTALLED_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${ONDIRA_BINDIR}/ondira")
endif()
set(apps "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ONDIRA_DATADIR}/applications")
set(icons "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${ONDIRA_DATADIR}/icons/hicolor")
configure_file("${ONDIRA_DESKTOP_TEMPLATE}" "${apps}/com.ondira.app.desktop" @ONLY)
message(STATUS "Installing: ${apps}/com.ondira.app.desktop")
if("$ENV{DESTDIR}" STREQUAL "")
  find_program(ONDIRA_UPDATE_DESKTOP_DATABASE update-desktop-database)
  if(ONDIRA_UPDATE_DESKTOP_DATABASE)
    execute_process(COMMAND "${ONDIRA_UPDATE_DESKTOP_DATABASE}" -q "${apps}")
  endif()
  find_program(ONDIRA_UPDATE_ICON_CACHE gtk-update-icon-cache)
  if(ONDIRA_UPDATE_ICON_CACHE AND EXISTS "${icons}/index.theme")
    execute_process(COMMAND "${ONDIRA_UPDATE_ICON_CACHE}" -q -t -f "${icons}")
  endif()
endif()
