# What ships is stripped. Each binary carries a CodeView record that names its PDB by file name
# (not by this build folder), with the PDB's signature and age; lld writes the PDB beside the
# binary, BINARY_BASE.pdb, where a debugger pointed at the folder finds it. Asked for a PDB, lld
# also keeps the DWARF sections of the mingw-w64 runtime's own objects, which nothing here reads:
# they are stripped after the link, which leaves the CodeView record and the PDB in step.
find_program(CORVAX_LLVM_OBJCOPY NAMES llvm-objcopy-14 llvm-objcopy REQUIRED)
function(corvax_pdb target)
    target_link_options(${target} PRIVATE
        "-Wl,--pdb=$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb"
        -Wl,--Xlink=/pdbaltpath:%_PDB%)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CORVAX_LLVM_OBJCOPY} --strip-all $<TARGET_FILE:${target}>
        COMMENT "Stripping $<TARGET_FILE_NAME:${target}>, its PDB kept beside it"
        VERBATIM)
endfunction()
