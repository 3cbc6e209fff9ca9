# Run at install time (tool/CMakeLists.txt includes it from install(CODE)):
# writes the manual pages with the path of the guide under the prefix of
# this install, which "cmake --install --prefix P" may choose long after
# configuration, and installs them.  The pages in the build tree name the
# configured prefix; these name the installed one.
#
# Set by the caller: NIVRA_MAN_SOURCES (the .in files), NIVRA_MAN_STAGE (a
# build directory to write them in), NIVRA_DOCDIR and NIVRA_MANDIR (as
# configured: relative to the prefix, or absolute) and PROJECT_VERSION.

# A configured directory as installed: under the prefix unless absolute.
function(nivra_installed_dir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

nivra_installed_dir(nivra_docdir "${NIVRA_DOCDIR}")
nivra_installed_dir(nivra_mandir "${NIVRA_MANDIR}")
# The pages' own variable, as a roff text (a "-" in roff is "\-").
string(REPLACE "-" "\\-" NIVRA_MAN_DOCDIR "${nivra_docdir}")
set(nivra_pages)
foreach(source IN LISTS NIVRA_MAN_SOURCES)
  get_filename_component(page "${source}" NAME_WLE)
  configure_file("${source}" "${NIVRA_MAN_STAGE}/${page}" @ONLY)
  list(APPEND nivra_pages "${NIVRA_MAN_STAGE}/${page}")
endforeach()
file(INSTALL DESTINATION "${nivra_mandir}/man1" TYPE FILE FILES ${nivra_pages})
