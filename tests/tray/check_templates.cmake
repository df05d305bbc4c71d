# Extracts the translatable texts from the sources again and compares them,
# both ways, with the committed templates po/inkd.pot and po/inksetup.pot.
set(_inkd_sources src/tray/main.cpp src/tray/calibrate.cpp src/tray/dialogs.cpp)
set(_inksetup_sources src/setup/main.cpp)
foreach(_domain inkd inksetup)
    set(_fresh ${OUT}/${_domain}.fresh.pot)
    execute_process(
        COMMAND ${XGETTEXT} --language=C++ --keyword=tr --keyword=N_ --from-code=UTF-8 -o ${_fresh}
                ${_${_domain}_sources}
        WORKING_DIRECTORY ${SRC}
        RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
        message(FATAL_ERROR "xgettext failed for ${_domain}")
    endif()
    foreach(_pair "${SRC}/po/${_domain}.pot;${_fresh}" "${_fresh};${SRC}/po/${_domain}.pot")
        list(GET _pair 0 _def)
        list(GET _pair 1 _ref)
        execute_process(COMMAND ${MSGCMP} --use-untranslated ${_def} ${_ref} RESULT_VARIABLE _rc
                        ERROR_VARIABLE _err)
        if(NOT _rc EQUAL 0)
            message(FATAL_ERROR "po/${_domain}.pot is out of date (cmake --build <build> --target ink_pot):\n${_err}")
        endif()
    endforeach()
endforeach()
