# The third-party libraries, found once. Each layer's library links only the
# ones it uses (see Sources/CMakeLists.txt).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)

pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
pkg_check_modules(WEBKIT REQUIRED IMPORTED_TARGET webkit2gtk-4.1)
pkg_check_modules(APPINDICATOR REQUIRED IMPORTED_TARGET ayatana-appindicator3-0.1)
pkg_check_modules(X11LIBS REQUIRED IMPORTED_TARGET x11 xtst xi)
pkg_check_modules(ATSPI REQUIRED IMPORTED_TARGET atspi-2)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(CANBERRA REQUIRED IMPORTED_TARGET libcanberra)
pkg_check_modules(SPHINX REQUIRED IMPORTED_TARGET pocketsphinx sphinxbase)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavutil libswresample)
# Demuxing and decoding are loaded when a file is first read (the engine opens
# them itself): only their headers are needed to build.
pkg_check_modules(FFMPEG_DECODING REQUIRED libavformat libavcodec)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0 glib-2.0)

# Where pocketsphinx keeps its models; the engine reads it at run time.
pkg_get_variable(SPHINX_MODELDIR pocketsphinx modeldir)
set(ONDIRA_SPHINX_MODELDIR "${SPHINX_MODELDIR}")

# Debian's sphinxbase.pc names /usr/include/sphinxbase, which the package does
# not install (its headers live under the multiarch directory); CMake refuses
# an imported target that names a missing directory once a real library uses it.
get_target_property(_sphinx_dirs PkgConfig::SPHINX INTERFACE_INCLUDE_DIRECTORIES)
set(_sphinx_existing)
foreach(_d ${_sphinx_dirs})
  if(EXISTS "${_d}")
    list(APPEND _sphinx_existing "${_d}")
  endif()
endforeach()
set_target_properties(PkgConfig::SPHINX PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_sphinx_existing}")
