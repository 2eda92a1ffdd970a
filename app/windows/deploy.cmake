# The Windows program in one folder, as the installer and the zip carry it: the exe, the Qt
# DLLs beside it (so a user can put in a Qt of their own, as the LGPL allows), the plugins Qt
# loads at start, its Chinese texts, the compiler's runtime and the licences.
install(TARGETS vantrelo-relay RUNTIME DESTINATION .)
install(FILES
    $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
    $<TARGET_FILE:Qt6::Network>
    DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# Qt 6.7 replaced the Vista style with the modern Windows one.
if(TARGET Qt6::QModernWindowsStylePlugin)
    install(FILES $<TARGET_FILE:Qt6::QModernWindowsStylePlugin> DESTINATION styles)
else()
    install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
endif()

install(FILES ${QT6_INSTALL_PREFIX}/translations/qtbase_zh_CN.qm DESTINATION translations)
install(FILES windows/qt.conf DESTINATION .)

# The DLLs of the compiler's runtime that the program and Qt link to.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "The compiler's ${dll} was not found (got '${path}')")
    endif()
    install(FILES ${path} DESTINATION .)
endforeach()

configure_file(windows/THIRD-PARTY.txt.in THIRD-PARTY.txt @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/THIRD-PARTY.txt DESTINATION licenses)
install(FILES doc/copyright DESTINATION licenses RENAME vantrelo-relay.txt)
install(DIRECTORY ${QT6_INSTALL_PREFIX}/licenses/ DESTINATION licenses/qt)
install(FILES /usr/share/doc/gcc-mingw-w64-base/copyright DESTINATION licenses
        RENAME gcc-runtime.txt)
install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION licenses
        RENAME mingw-w64-runtime.txt)
