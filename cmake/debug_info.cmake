# What ships is stripped; the debug information stays in the build folder beside each binary,
# as BINARY.debug, and the binary names it (with its CRC) in a .gnu_debuglink section so that a
# debugger given the build folder finds it.
function(corvax_split_debug_info target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
                $<TARGET_FILE:${target}>.debug
        COMMAND ${CMAKE_OBJCOPY} --strip-all
                --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
        COMMENT "Stripping $<TARGET_FILE_NAME:${target}>, debug information kept beside it"
        VERBATIM)
endfunction()
