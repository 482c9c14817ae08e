add_library(morvak_warnings INTERFACE)
target_compile_options(morvak_warnings INTERFACE -Wall -Wextra -Wpedantic)
