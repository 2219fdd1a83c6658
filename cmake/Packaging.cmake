# The project's version in programs, and its Debian packages.
#
# Version: PROJECT_VERSION (set once, in the top CMakeLists.txt) reaches C++
# through the generated header tessary_version.h of the interface target
# tessary_version:  #define TESSARY_VERSION "0.1.0".  Every program answers
# --version with "<program> <TESSARY_VERSION>".
#
# Packages: every program, and each half of the library, installs into a
# component of its own, and names the Debian package it makes with
# tessary_debian_package() from the CMakeLists.txt that installs it. A new
# program (say cli/) does the same:
#
#   install(TARGETS tessary-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tessary_cli)
#   tessary_debian_package(tessary_cli PACKAGE tessary-cli SECTION sound
#     SUMMARY "..." DESCRIPTION "..." PROGRAMS tessary-cli)
#
# and packaging/ (added last) turns the list into CPack's settings: one .deb
# per component, dependencies from dpkg-shlibdeps, and a test that unpacks
# the packages and runs every PROGRAMS entry with --version.

configure_file(${CMAKE_CURRENT_LIST_DIR}/tessary_version.h.in
  ${PROJECT_BINARY_DIR}/generated/tessary_version.h @ONLY)
add_library(tessary_version INTERFACE)
target_include_directories(tessary_version INTERFACE ${PROJECT_BINARY_DIR}/generated)

# tessary_debian_package(<component> PACKAGE <name> SECTION <section>
#                        SUMMARY <one line> DESCRIPTION <paragraph>
#                        [DEPENDS <component>...]   packages of ours it needs
#                                                   beyond what its binaries link
#                        [PROGRAMS <target>...]     programs answering --version
#                        [SHARED_LIBRARY])          it holds a shared library:
#                                                   shlibs and an ldconfig trigger
function(tessary_debian_package component)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SHARED_LIBRARY" "PACKAGE;SECTION;SUMMARY;DESCRIPTION" "DEPENDS;PROGRAMS")
  foreach(required PACKAGE SECTION SUMMARY DESCRIPTION)
    if(NOT arg_${required})
      message(FATAL_ERROR "tessary_debian_package(${component}): ${required} is missing")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY TESSARY_PACKAGE_COMPONENTS ${component})
  foreach(key PACKAGE SECTION SUMMARY DESCRIPTION DEPENDS PROGRAMS SHARED_LIBRARY)
    set_property(GLOBAL PROPERTY TESSARY_PACKAGE_${component}_${key} "${arg_${key}}")
  endforeach()
endfunction()
