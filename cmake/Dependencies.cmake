# One interface target carries every library the product links, so each
# subsystem can use what it needs without touching the build files.
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
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0 glib-2.0)

add_library(ondira_deps INTERFACE)
target_link_libraries(ondira_deps INTERFACE
  nlohmann_json::nlohmann_json ICU::uc ICU::i18n OpenSSL::Crypto CURL::libcurl
  PkgConfig::GTK3 PkgConfig::WEBKIT PkgConfig::APPINDICATOR PkgConfig::X11LIBS
  PkgConfig::ATSPI PkgConfig::PULSE PkgConfig::CANBERRA PkgConfig::SPHINX
  PkgConfig::FFMPEG PkgConfig::GIO Threads::Threads ${CMAKE_DL_LIBS})

# Where pocketsphinx keeps its models; the engine reads it at run time.
pkg_get_variable(SPHINX_MODELDIR pocketsphinx modeldir)
target_compile_definitions(ondira_deps INTERFACE ONDIRA_SPHINX_MODELDIR="${SPHINX_MODELDIR}")
