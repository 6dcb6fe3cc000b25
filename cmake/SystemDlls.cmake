# Where the shipped programs load Windows DLLs from: System32, never the
# program's own folder or the current one.
#
# The loader resolves an exe's static imports before any code of the program
# runs, and for a DLL that is not a KnownDLL it looks in the exe's folder first.
# KnownDLLs are always mapped from System32, and so are their own dependencies.
# So a shipped program imports statically only KnownDLLs
# (KELVANE_STATIC_IMPORT_DLLS) and delay-loads every other system DLL it uses
# (KELVANE_DELAY_LOADED_DLLS): the first call into one loads it, and the
# delay-load hook in platform/src/SystemDlls.cpp loads it from System32 only,
# with its dependencies. Each entry point first sets the process's DLL search
# path to System32 (platform::useSystemDllsOnly), which also covers what
# GDI+, COM and the system load later by name. tests/package/check-package.sh
# checks the imports of every packed exe against both lists.
#
# Programs link the interface library `system_dlls` for all of this.
set(KELVANE_STATIC_IMPORT_DLLS kernel32 advapi32 msvcrt)
set(KELVANE_DELAY_LOADED_DLLS user32 gdi32 shell32 ole32 oleaut32 version hid winusb setupapi gdiplus oleacc)

add_library(system_dlls INTERFACE)
target_sources(system_dlls INTERFACE "${PROJECT_SOURCE_DIR}/platform/src/SystemDlls.cpp")
target_link_libraries(system_dlls INTERFACE platform)
if(MSVC)
  list(TRANSFORM KELVANE_DELAY_LOADED_DLLS REPLACE "(.+)" "/DELAYLOAD:\\1.dll" OUTPUT_VARIABLE delay_load_options)
  # The loader's own flag for the static imports (Windows 10 1607 and later)
  # as well; 4199: a program that does not use one of the listed DLLs.
  target_link_options(system_dlls INTERFACE ${delay_load_options} /DEPENDENTLOADFLAG:0x800 /IGNORE:4199)
  target_link_libraries(system_dlls INTERFACE delayimp)
else()
  # GNU ld delay-loads through import libraries that dlltool makes for it. One
  # is made for each DLL from the toolchain's own import library, under the
  # same name, in a folder searched before the toolchain's: every -l<name> of
  # a program, whichever library asked for it, then delay-loads.
  set(delay_load_dir "${CMAKE_BINARY_DIR}/delay-load")
  file(MAKE_DIRECTORY "${delay_load_dir}")
  foreach(dll IN LISTS KELVANE_DELAY_LOADED_DLLS)
    execute_process(COMMAND "${CMAKE_C_COMPILER}" -print-file-name=lib${dll}.a
      OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND "${CMAKE_DLLTOOL}" --identify "${import_library}"
      OUTPUT_VARIABLE dll_file OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE identified)
    execute_process(COMMAND "${CMAKE_NM}" -g --defined-only "${import_library}"
      OUTPUT_VARIABLE symbols RESULT_VARIABLE listed)
    # Each function's thunk is a text symbol of its own name.
    string(REGEX MATCHALL "[0-9a-fA-F]+ T [^\r\n]+" functions "${symbols}")
    list(TRANSFORM functions REPLACE "^[0-9a-fA-F]+ T " "")
    if(NOT identified EQUAL 0 OR NOT listed EQUAL 0 OR NOT functions)
      message(FATAL_ERROR "Cannot read the import library of ${dll} (${import_library}) to delay-load it.")
    endif()
    list(JOIN functions "\n" exports)
    file(WRITE "${delay_load_dir}/${dll}.def" "LIBRARY ${dll_file}\nEXPORTS\n${exports}\n")
    execute_process(COMMAND "${CMAKE_DLLTOOL}" --def "${delay_load_dir}/${dll}.def"
      --output-delaylib "${delay_load_dir}/new-lib${dll}.a" RESULT_VARIABLE made)
    if(NOT made EQUAL 0)
      message(FATAL_ERROR "dlltool could not make the delay-load library of ${dll}.")
    endif()
    # Replaced only when it changed: the programs relink when it does.
    file(COPY_FILE "${delay_load_dir}/new-lib${dll}.a" "${delay_load_dir}/lib${dll}.a" ONLY_IF_DIFFERENT)
    file(REMOVE "${delay_load_dir}/new-lib${dll}.a")
    set_property(TARGET system_dlls APPEND PROPERTY INTERFACE_LINK_DEPENDS "${delay_load_dir}/lib${dll}.a")
  endforeach()
  target_link_directories(system_dlls INTERFACE "${delay_load_dir}")
endif()
