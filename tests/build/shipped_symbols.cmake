# Fails when a shipped program or module holds code only the tools and tests
# use: the signer and the private-key import, the recording request and
# session. CONTROL, a program that must hold the signer, shows that the
# symbol names looked for are still the real ones.
# Run as: cmake -DSHIPPED=a,b -DCONTROL=c -P shipped_symbols.cmake
cmake_minimum_required(VERSION 3.25)
set(_unwanted "corvane::jose::SigningKey|import_private_key|corvane::apps::SimpleRequest|corvane::apps::MemorySession")

# The first symbol of `binary` matching `pattern`, or "" (grep reads nm's
# output: a debug build's symbol table is too large for CMake's own regular
# expressions).
function(first_symbol binary pattern out)
  execute_process(COMMAND nm -C "${binary}" COMMAND grep -E "${pattern}"
                  OUTPUT_VARIABLE _found RESULTS_VARIABLE _status ERROR_VARIABLE _error)
  list(GET _status 0 _nm)
  if(NOT _nm EQUAL 0)
    message(FATAL_ERROR "nm ${binary}: ${_error}")
  endif()
  string(FIND "${_found}" "\n" _end)
  string(SUBSTRING "${_found}" 0 ${_end} _found)
  set(${out} "${_found}" PARENT_SCOPE)
endfunction()

first_symbol("${CONTROL}" "corvane::jose::SigningKey" _control)
if(NOT _control)
  message(FATAL_ERROR "${CONTROL} holds no signer: the names looked for are stale")
endif()
string(REPLACE "," ";" _shipped "${SHIPPED}")
foreach(binary IN LISTS _shipped)
  first_symbol("${binary}" "${_unwanted}" _found)
  if(_found)
    message(FATAL_ERROR "${binary} holds code for tools and tests only, e.g.:\n  ${_found}")
  endif()
endforeach()
