# The trace catalog refuses what a decoder would show wrongly: each case is a small source
# tree with one fault, which host/trace_catalog.cmake must fail on with its own words; the
# first case has none and must pass with its texts in the catalog.
#
#   cmake -DCATALOG=<host/trace_catalog.cmake> -DWORK=<folder> -P trace_catalog_faults.cmake
cmake_minimum_required(VERSION 3.25)

set(GUIDS [=[
inline constexpr GUID kTraceGuidTestUnit = {
    0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
]=])
set(PROVIDER [=[
inline constexpr GUID AdapterTraceControlGuid = {
    0x66666666, 0x7777, 0x8888, {0x99, 0x99, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}};
inline constexpr ULONG TRACE_FLAG_ADAPTER = 0x1;
]=])
# A forwarder every case may call: it traces with the number and text it is given.
set(FORWARDER [=[
HRESULT Traced(const Context* context, USHORT number, TraceText text, HRESULT hr) {
    MOC_TRACE_INFO_FORWARDED(kTraceGuidTestUnit, number, text, context->UnitLabel, hr);
    return hr;
}
]=])

# Each case: a name, the expected words of the failure ("" for none), the body of a function.
set(NAMES "")
macro(add_case name expected body)
  list(APPEND NAMES ${name})
  set(EXPECTED_${name} "${expected}")
  set(BODY_${name} "${body}")
endmacro()

add_case(sound "" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "a (text), with %u commas; [and] marks // %%",
                   context->UnitLabel, count);
    MOC_TRACE_ERROR(kTraceGuidTestUnit, 11, "reading %s: "
                    "%!WINERROR!", path, error);
    // The exits of one operation: one number, one text, several places.
    if (count == 0)
        return Traced(context, 12, "done: %!HRESULT!", E_FAIL);
    return Traced(context, 12, "done: %!HRESULT!", S_OK);
]=])
add_case(too_few "\"value\" has 0 conversions for 1 arguments" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "value", context->UnitLabel, count);
]=])
add_case(too_many "has 2 conversions for 1 arguments" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "%u of %u", count);
]=])
add_case(label_converted "has 2 conversions for 1 arguments" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "%s: %u", context->UnitLabel, count);
]=])
add_case(malformed "that begins none of the conversions" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "count %q", count);
]=])
add_case(no_text "without its message text" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10);
]=])
add_case(number_in_variable "cannot read" [=[
    const USHORT number = count > 1 ? 10 : 11;
    MOC_TRACE_INFO(kTraceGuidTestUnit, number, "count %u", count);
]=])
add_case(shared_number "share the number" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "first %u", count);
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "second %u", count);
]=])
add_case(two_levels "traced at two levels" [=[
    MOC_TRACE_INFO(kTraceGuidTestUnit, 10, "count %u", count);
    MOC_TRACE_ERROR(kTraceGuidTestUnit, 10, "count %u", count);
]=])
add_case(forwarded_too_few "\"done\" has 0 conversions for 1 arguments" [=[
    return Traced(context, 12, "done", S_OK);
]=])
add_case(forwarded_text_in_variable "cannot read" [=[
    return Traced(context, 12, kDoneText, S_OK);
]=])
add_case(forwarded_shared_number "share the number" [=[
    Traced(context, 12, "opened: %!HRESULT!", S_OK);
    return Traced(context, 12, "closed: %!HRESULT!", S_OK);
]=])

set(failed 0)
foreach(name IN LISTS NAMES)
  set(tree "${WORK}/${name}")
  file(REMOVE_RECURSE "${tree}")
  file(WRITE "${tree}/common/trace_guids.h" "${GUIDS}")
  file(WRITE "${tree}/common/trace_provider.h" "${PROVIDER}")
  file(WRITE "${tree}/unit/unit.cpp" "${FORWARDER}\nHRESULT Work(const Context* context, DWORD count, const char* path, DWORD error) {\n${BODY_${name}}}\n")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -DOUTPUT=${tree}/catalog.inc
      -DUNIT_FOLDERS=unit -DPROVIDER_NAME=Test -P ${CATALOG}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " err "${err}")
  if(EXPECTED_${name} STREQUAL "")
    file(READ "${tree}/catalog.inc" catalog)
    if(NOT result EQUAL 0 OR
       NOT catalog MATCHES "\"a \\(text\\), with %u commas; \\[and\\] marks // %%\"" OR
       NOT catalog MATCHES "\"reading %s: %!WINERROR!\"" OR
       NOT catalog MATCHES "\"Work#12\", \"done: %!HRESULT!\"")
      message(SEND_ERROR "${name}: the catalog should pass with its texts: ${err}\n${catalog}")
      math(EXPR failed "${failed} + 1")
    endif()
  else()
    string(FIND "${err}" "${EXPECTED_${name}}" at)
    if(result EQUAL 0 OR at LESS 0)
      message(SEND_ERROR "${name}: the catalog should fail with \"${EXPECTED_${name}}\": ${err}")
      math(EXPR failed "${failed} + 1")
    endif()
  endif()
endforeach()
list(LENGTH NAMES count)
if(failed GREATER 0)
  message(FATAL_ERROR "${failed} of ${count} catalog cases went wrong")
endif()
message(STATUS "${count} catalog cases as expected")
