# Common compile options for every target of the project (not for third-party code).
add_library(vq_options INTERFACE)
target_compile_options(vq_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                            -Wno-sign-conversion)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false -Wrestrict overlaps inside std::string concatenation and false
  # -Wstringop-overread/-overflow bounds inside std::equal and std::copy at -O2/-O3
  # (GCC bugs 105329 and 105651); these warnings say nothing about this code base.
  target_compile_options(vq_options INTERFACE -Wno-restrict -Wno-stringop-overread
                                              -Wno-stringop-overflow)
endif()
if(VQ_WERROR)
  target_compile_options(vq_options INTERFACE -Werror)
endif()
if(WIN32)
  # Static runtime so the test programs run under Wine without MinGW DLLs beside them.
  target_link_options(vq_options INTERFACE -static -static-libgcc -static-libstdc++)
  target_compile_definitions(vq_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

if(VQ_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(VQ_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT VQ_SANITIZE STREQUAL "")
  message(FATAL_ERROR "VQ_SANITIZE must be empty, address or thread")
endif()

# Adds a static library for one layer of the station.
function(vq_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  if(L_SOURCES)
    add_library(${name} STATIC ${L_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${L_DEPS} PRIVATE vq_options)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${L_DEPS})
  endif()
endfunction()

# Sources of a layer are the .cpp files of its folder (and of the listed subfolders), so
# adding a file needs no edit of a CMakeLists.txt.
function(vq_glob_sources out)
  set(result "")
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND result ${found})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()
