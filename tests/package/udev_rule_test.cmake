cmake_minimum_required(VERSION 3.25)
# The udev rule follows the hardware file's USB ids: the shipped one (no ids
# known) matches no unit and says how to set the ids; known ids give the
# unit's match line; a file whose ids do not parse stops the build.
# usage: cmake -DSRC=<source dir> -DBUILT=<the build's rule> -DWORK=<dir> -P udev_rule_test.cmake
set(_gen ${SRC}/packaging/udev_rule.cmake)
set(_in ${SRC}/data/udev/60-vexor-driver.rules.in)
set(_failures 0)
macro(fail what)
    message(SEND_ERROR "FAIL: ${what}")
    math(EXPR _failures "${_failures} + 1")
endmacro()
# make HW_TEXT OUT: the rule for a hardware file of that text; sets _rc.
macro(make hw_text out)
    file(WRITE ${WORK}/hw.txt "${hw_text}")
    file(REMOVE ${out})
    execute_process(COMMAND ${CMAKE_COMMAND} -DHW=${WORK}/hw.txt -DIN=${_in} -DOUT=${out}
                            -P ${_gen} RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
endmacro()
set(_uinput [[KERNEL=="uinput", SUBSYSTEM=="misc", OPTIONS+="static_node=uinput", TAG+="uaccess"]])
set(_template [[#SUBSYSTEM=="usbmisc", KERNEL=="hiddev[0-9]*", ATTRS{idVendor}=="vvvv", ATTRS{idProduct}=="pppp", SYMLINK+="usb/vxd0", MODE="0660", TAG+="uaccess"]])
file(MAKE_DIRECTORY ${WORK})

# The build's rule, from the shipped hw.txt, which holds no ids.
file(READ ${SRC}/data/hw.txt _hw)
if(NOT _hw MATCHES "\nverdorID 0\nproductID 0\n")
    fail("the shipped hw.txt names ids")
endif()
file(STRINGS ${BUILT} _active REGEX "^[^#]")
if(NOT _active STREQUAL _uinput)
    fail("the shipped rule matches more than uinput: '${_active}'")
endif()
file(STRINGS ${BUILT} _lines)
list(FIND _lines "${_template}" _at)
if(_at EQUAL -1)
    fail("the shipped rule shows no line to fill in")
endif()
file(READ ${BUILT} _text)
if(NOT _text MATCHES "lsusb")
    fail("the shipped rule does not say how to find the ids")
endif()

# Known ids, with and without 0x, in either case: four lower case digits.
make("rowStart 200\nverdorID 0x0ABc\nproductID 12\n" ${WORK}/known.rules)
if(NOT _rc EQUAL 0)
    fail("known ids: no rule made")
else()
    file(STRINGS ${WORK}/known.rules _active REGEX "^[^#]")
    list(GET _active 0 _unit)
    set(_want [[SUBSYSTEM=="usbmisc", KERNEL=="hiddev[0-9]*", ATTRS{idVendor}=="0abc", ATTRS{idProduct}=="0012", SYMLINK+="usb/vxd0", MODE="0660", TAG+="uaccess"]])
    if(NOT _unit STREQUAL _want)
        fail("known ids give '${_unit}'")
    endif()
endif()

# One id known is no id: nothing is matched.
make("verdorID 1d00\nproductID 0\n" ${WORK}/half.rules)
file(STRINGS ${WORK}/half.rules _active REGEX "^[^#]")
if(NOT _active STREQUAL _uinput)
    fail("a zero product id matches '${_active}'")
endif()

# Ids that are not hexadecimal, missing or too wide stop the build.
foreach(_bad "verdorID 12x\nproductID 1\n" "productID 1\n" "verdorID 10000\nproductID 1\n")
    make("${_bad}" ${WORK}/bad.rules)
    if(_rc EQUAL 0 OR EXISTS ${WORK}/bad.rules)
        fail("not refused: ${_bad}")
    endif()
endforeach()

if(_failures GREATER 0)
    message(FATAL_ERROR "${_failures} check(s) failed")
endif()
message(STATUS "udev rule: all checks passed")
