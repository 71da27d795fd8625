# Warnings are on everywhere and the build is expected to be clean.
add_compile_options(-Wall -Wextra)
