include(CMakeFindDependencyMacro)
find_dependency(Nivra 1.5 CONFIG)
include("${CMAKE_CURRENT_LIST_DIR}/GreeterTargets.cmake")
