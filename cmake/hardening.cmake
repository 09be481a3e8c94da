# Debian's hardening for every target of a Linux build, as its own packages get it: the stack
# protector, fortified C library calls, PIE and full RELRO (-z now, so the relocated GOT is read
# only before main runs). The flags are dpkg-buildflags' when it is installed, so that they
# follow Debian's, without its -g and -O (the build type's) and its reproducibility flags
# (paths of this machine); otherwise the same flags, with PIE spelt out, which Debian's compiler
# makes by default.
if(WIN32)
  return()
endif()
set(REGISTRY_HARDENING_COMPILE -fstack-protector-strong -Wformat -Werror=format-security
                               -D_FORTIFY_SOURCE=2 -fPIE)
set(REGISTRY_HARDENING_LINK -pie -Wl,-z,relro -Wl,-z,now)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-all"
              ${DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE registry_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(registry_dpkg_${kind} UNIX_COMMAND "${registry_flags}")
    list(FILTER registry_dpkg_${kind} EXCLUDE REGEX "^-(g|O)")
  endforeach()
  set(REGISTRY_HARDENING_COMPILE ${registry_dpkg_CPPFLAGS} ${registry_dpkg_CXXFLAGS})
  set(REGISTRY_HARDENING_LINK ${registry_dpkg_LDFLAGS})
endif()

# _FORTIFY_SOURCE needs optimisation (glibc warns without it), and the sanitizers check the
# calls it would replace with checked ones they do not intercept.
set(REGISTRY_FORTIFY ${REGISTRY_HARDENING_COMPILE})
list(FILTER REGISTRY_FORTIFY INCLUDE REGEX "^-[DU]_FORTIFY_SOURCE")
list(FILTER REGISTRY_HARDENING_COMPILE EXCLUDE REGEX "^-[DU]_FORTIFY_SOURCE")
if(NOT REGISTRY_SANITIZE AND NOT REGISTRY_FUZZ)
  add_compile_options("$<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:${REGISTRY_FORTIFY}>")
endif()
add_compile_options(${REGISTRY_HARDENING_COMPILE})
add_link_options(${REGISTRY_HARDENING_LINK})
