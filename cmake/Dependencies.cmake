# Armadillo is used header-only: BLAS and LAPACK calls go straight to OpenBLAS
# instead of through Armadillo's run-time wrapper library, which would follow
# the system's libblas alternative (possibly the slow reference BLAS).
if(MORVAK_FUZZ)
  # The harnesses exercise the crystal library only: no Armadillo, Python or
  # GoogleTest, and every object carries libFuzzer's coverage instrumentation.
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "MORVAK_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}: "
                        "configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  if(MORVAK_BUILD_PYTHON OR MORVAK_BUILD_TESTS)
    message(FATAL_ERROR "MORVAK_FUZZ builds only the harnesses: "
                        "configure with -DMORVAK_BUILD_PYTHON=OFF -DMORVAK_BUILD_TESTS=OFF")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  return()
endif()

if(MORVAK_BUILD_PYTHON)
  find_package(Python 3.8 REQUIRED COMPONENTS Interpreter Development.Module)
  if(NOT pybind11_DIR)
    execute_process(
      COMMAND "${Python_EXECUTABLE}" -m pybind11 --cmakedir
      OUTPUT_VARIABLE _pybind11_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(pybind11_DIR "${_pybind11_dir}")
  endif()
  find_package(pybind11 2.12 CONFIG REQUIRED)
  if(pybind11_VERSION VERSION_GREATER_EQUAL 3)
    message(FATAL_ERROR "haldo needs pybind11 2.x, found ${pybind11_VERSION}")
  endif()
endif()

find_path(ARMADILLO_INCLUDE_DIR armadillo PATHS /usr/include REQUIRED)
include(${CMAKE_CURRENT_LIST_DIR}/WheelOpenBLAS.cmake)

add_library(morvak_armadillo INTERFACE)
target_include_directories(morvak_armadillo SYSTEM INTERFACE ${ARMADILLO_INCLUDE_DIR})
# ARMA_WARN_LEVEL=0: Armadillo's warnings go to std::cerr (its debug-mode
# symmetry check in eig_sym warns about a symmetric matrix with a non-finite
# element); failures reach callers as exceptions only.
# ARMA_BLAS_LONG_LONG: the wheel's OpenBLAS, like numpy's, takes 64-bit integers.
# ARMA_ALIEN_MEM_*: matrices of 4 MiB or more get huge pages, as numpy's arrays
# do; a fresh 64 MB result otherwise costs 16384 page faults (blas/memory.hpp).
# ARMA_DONT_USE_OPENMP: the only OpenMP use of Armadillo that haldo reaches is the normal fill of
# 1024 or more elements, and libgomp is not fork-safe: a fork()ed child that
# fills again deadlocks. Fills run on the calling thread.
target_compile_definitions(morvak_armadillo INTERFACE
  ARMA_DONT_USE_WRAPPER
  ARMA_WARN_LEVEL=0
  ARMA_USE_EXTERN_RNG
  ARMA_DONT_USE_OPENMP
  ARMA_DONT_USE_HDF5
  ARMA_DONT_USE_ARPACK
  ARMA_DONT_USE_SUPERLU
  ARMA_BLAS_LONG_LONG
  ARMA_ALIEN_MEM_ALLOC_FUNCTION=morvak_arma_allocate
  ARMA_ALIEN_MEM_FREE_FUNCTION=morvak_arma_release)
target_link_libraries(morvak_armadillo INTERFACE morvak_blas)
# Every Fortran name Armadillo (and models/) calls is mapped onto its entry in
# the jump table (blas/) before any source sees it.
target_compile_options(morvak_armadillo INTERFACE
  "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${MORVAK_BLAS_SYMBOLS_HEADER}>"
  "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${PROJECT_SOURCE_DIR}/blas/memory.hpp>")

if(MORVAK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

if(MORVAK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
