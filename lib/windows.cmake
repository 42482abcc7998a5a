# SPDX-License-Identifier: MIT
# The library's DLL on Windows, included by CMakeLists.txt once
# velkor_objects and the static library are set up: libvelkor-0.dll, with
# its import library libvelkor.dll.a, beside the static libvelkor.a.
#
# A DLL exports what velkor.h's VELKOR_API marks (dllexport), and a static
# library must not carry those marks into the programs that link it.  So
# the sources are compiled twice: velkor_objects for the static library
# (with VELKOR_STATIC, which the static target hands on to those that link
# it) and a copy for the DLL (with VELKOR_BUILDING_DLL).  The copy takes
# velkor_objects' sources and definitions; per-source options (the kernels'
# instruction sets) belong to the files and apply to both.
get_target_property(velkor_sources velkor_objects SOURCES)
get_target_property(velkor_definitions velkor_objects COMPILE_DEFINITIONS)
if(NOT velkor_definitions)
  set(velkor_definitions)
endif()
add_library(velkor_dll_objects OBJECT ${velkor_sources})
target_compile_definitions(velkor_dll_objects PRIVATE ${velkor_definitions} VELKOR_BUILDING_DLL)
target_include_directories(velkor_dll_objects PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(velkor_objects PRIVATE VELKOR_STATIC)
target_compile_definitions(velkor_static INTERFACE VELKOR_STATIC)

add_library(velkor_shared SHARED $<TARGET_OBJECTS:velkor_dll_objects>)
# The major version in the DLL's name does what the SONAME does elsewhere:
# a program built against one ABI never loads another.  Nothing but the C
# interface is exported, and the compiler's run-times are linked in
# (-static, CMakeLists.txt), so the DLL needs only what every Windows has
# (KERNEL32 and the C run-time).
set_target_properties(velkor_shared PROPERTIES
  RUNTIME_OUTPUT_NAME velkor-${PROJECT_VERSION_MAJOR})
