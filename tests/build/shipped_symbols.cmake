# Fails when a shipped program or module holds code only the tools and tests
# use: the signer and the private-key import, the recording request and
# session. CONTROL, a program that must hold the signer, shows that the
# symbol names looked for are still the real ones.
# Run as: cmake -DSHIPPED="a;b" -DCONTROL=c -P shipped_symbols.cmake
cmake_minimum_required(VERSION 3.25)
set(_unwanted "corvane::jose::SigningKey|import_private_key|corvane::apps::SimpleRequest|corvane::apps::MemorySession")

function(symbols_of binary out)
  execute_process(COMMAND nm -C "${binary}" OUTPUT_VARIABLE _symbols ERROR_VARIABLE _error RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "nm ${binary}: ${_error}")
  endif()
  set(${out} "${_symbols}" PARENT_SCOPE)
endfunction()

symbols_of("${CONTROL}" _control)
if(NOT _control MATCHES "corvane::jose::SigningKey")
  message(FATAL_ERROR "${CONTROL} holds no signer: the names looked for are stale")
endif()
string(REPLACE "," ";" _shipped "${SHIPPED}")
foreach(binary IN LISTS _shipped)
  symbols_of("${binary}" _symbols)
  string(REGEX MATCHALL "[^\n]*(${_unwanted})[^\n]*" _found "${_symbols}")
  if(_found)
    list(GET _found 0 _first)
    message(FATAL_ERROR "${binary} holds code for tools and tests only, e.g.:\n  ${_first}")
  endif()
endforeach()
