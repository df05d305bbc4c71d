# Makes the udev rule and the AppStream metadata from their templates and the
# USB ids of the hardware file: the ids have that one source.
#
# ink_read_usb_ids(HW_FILE VENDOR_VAR PRODUCT_VAR) sets the two variables to
# the ids of HW_FILE as numbers (0x... hexadecimal), checked to be 16-bit.
function(ink_read_usb_ids hw_file vendor_var product_var)
    file(STRINGS "${hw_file}" _lines)
    set(_vendor "")
    set(_product "")
    foreach(_l IN LISTS _lines)
        if(_l MATCHES "^[ \t]*verdorID[ \t]+(0[xX])?([0-9a-fA-F]+)[ \t]*$")
            set(_vendor "${CMAKE_MATCH_2}")
        elseif(_l MATCHES "^[ \t]*productID[ \t]+(0[xX])?([0-9a-fA-F]+)[ \t]*$")
            set(_product "${CMAKE_MATCH_2}")
        endif()
    endforeach()
    if(_vendor STREQUAL "" OR _product STREQUAL "")
        message(FATAL_ERROR "${hw_file}: verdorID and productID must be hexadecimal numbers")
    endif()
    math(EXPR _v "0x${_vendor}" OUTPUT_FORMAT HEXADECIMAL)
    math(EXPR _p "0x${_product}" OUTPUT_FORMAT HEXADECIMAL)
    if(_v GREATER 0xffff OR _p GREATER 0xffff)
        message(FATAL_ERROR "${hw_file}: verdorID and productID must be 16-bit USB ids")
    endif()
    set(${vendor_var} ${_v} PARENT_SCOPE)
    set(${product_var} ${_p} PARENT_SCOPE)
endfunction()

# ink_make_udev_rule(HW_FILE TEMPLATE OUTPUT) reads the entries verdorID and
# productID (hexadecimal, with or without 0x) of HW_FILE. When both are
# non-zero, the rule matches the unit by them; otherwise (the shipped file
# holds 0 and 0: no ids are known for the unit) no unit is matched, and the
# rule says how to set the ids of the unit at hand.
# Also usable as a script: cmake -DHW=... -DIN=... -DOUT=... -P udev_rule.cmake
function(ink_make_udev_rule hw_file template output)
    ink_read_usb_ids("${hw_file}" _v _p)
    set(_line "SUBSYSTEM==\"usbmisc\", KERNEL==\"hiddev[0-9]*\", ATTRS{idVendor}==\"@V@\", ATTRS{idProduct}==\"@P@\", SYMLINK+=\"usb/vxd0\", MODE=\"0660\", TAG+=\"uaccess\"")
    if(_v EQUAL 0 OR _p EQUAL 0)
        string(REPLACE "@V@" "vvvv" _line "${_line}")
        string(REPLACE "@P@" "pppp" _line "${_line}")
        string(JOIN "\n" INK_UDEV_UNIT_RULE
            "#"
            "# No USB ids are known for the unit (verdorID and productID are 0), so"
            "# this rule matches no unit as shipped. To set the ids of yours:"
            "#   lsusb                   the unit's line reads \"ID vvvv:pppp ...\""
            "#   cp /usr/lib/udev/rules.d/60-vexor-driver.rules /etc/udev/rules.d/"
            "# (a file of the same name in /etc/udev/rules.d replaces this one), in"
            "# the copy remove the \"#\" before the line below and put the two ids in"
            "# for vvvv and pppp (lower case hexadecimal, no 0x), then run"
            "#   udevadm control --reload && udevadm trigger"
            "#${_line}")
    else()
        # Four lower case hexadecimal digits, as udev reads them from sysfs.
        foreach(_id _v _p)
            string(SUBSTRING "${${_id}}" 2 -1 _digits)
            string(TOLOWER "000${_digits}" _digits)
            string(LENGTH "${_digits}" _n)
            math(EXPR _from "${_n} - 4")
            string(SUBSTRING "${_digits}" ${_from} 4 ${_id})
        endforeach()
        string(REPLACE "@V@" "${_v}" _line "${_line}")
        string(REPLACE "@P@" "${_p}" _line "${_line}")
        set(INK_UDEV_UNIT_RULE "${_line}")
    endif()
    configure_file("${template}" "${output}" @ONLY)
endfunction()


# ink_make_metainfo(HW_FILE TEMPLATE OUTPUT): the AppStream metadata of the
# suite, which names the unit it drives by the modalias of the same USB ids
# (upper case hexadecimal, as AppStream writes them), so that software
# centres can offer the package for the unit. With the shipped ids (0 and 0)
# it matches no unit, as the rule does.
function(ink_make_metainfo hw_file template output)
    ink_read_usb_ids("${hw_file}" _v _p)
    foreach(_id _v _p)
        string(SUBSTRING "${${_id}}" 2 -1 _digits)
        string(TOUPPER "000${_digits}" _digits)
        string(LENGTH "${_digits}" _n)
        math(EXPR _from "${_n} - 4")
        string(SUBSTRING "${_digits}" ${_from} 4 ${_id})
    endforeach()
    set(INK_UNIT_MODALIAS "usb:v${_v}p${_p}d*")
    configure_file("${template}" "${output}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    cmake_policy(VERSION 3.25)
    ink_make_udev_rule("${HW}" "${IN}" "${OUT}")
endif()
