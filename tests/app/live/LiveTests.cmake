# The application against a real tabrel-server, with its account in a private keyring
# (tests/accounts/run-with-keyring.sh). tst_DesktopE2E also runs the built executable under Xvfb
# and signs in through headless Chromium.
# Included from the tests folder once every test folder is added (tests/app/CMakeLists.txt).
if(NOT TARGET tabrel_e2e_kit)
  return()
endif()
set(live_dir ${PROJECT_SOURCE_DIR}/tests/app/live)
set(wrapper ${PROJECT_SOURCE_DIR}/tests/accounts/run-with-keyring.sh)
file(GLOB tests CONFIGURE_DEPENDS ${live_dir}/tst_*.cpp)
file(GLOB helpers CONFIGURE_DEPENDS ${live_dir}/*.cpp ${live_dir}/*.h)
list(REMOVE_ITEM helpers ${tests})
foreach(test_source ${tests})
  get_filename_component(name ${test_source} NAME_WE)
  set(target app_${name})
  add_executable(${target} ${test_source} ${helpers})
  target_link_libraries(${target} PRIVATE tabrel_app tabrel_e2e_kit Qt6::Test)
  target_compile_definitions(${target} PRIVATE TABREL_APP_BINARY="$<TARGET_FILE:brevane-tabrel>"
                                               TABREL_ARTEFACT_DIR="${PROJECT_BINARY_DIR}/tests/app/artefacts")
  add_dependencies(${target} brevane-tabrel)
  tabrel_target_defaults(${target})
  add_test(NAME ${target} COMMAND sh ${wrapper} $<TARGET_FILE:${target}>)
  set_tests_properties(${target} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 600)
endforeach()
