# Ormet-Master's windows: offscreen widget tests, end-to-end tests with the meter simulator, screenshots.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

add_executable(test_meter_gui_dialogs ${CMAKE_CURRENT_LIST_DIR}/test_meter_gui_dialogs.cpp)
set_target_properties(test_meter_gui_dialogs PROPERTIES AUTOMOC ON)
target_link_libraries(test_meter_gui_dialogs PRIVATE meter_gui Qt6::Test)
add_test(NAME meter_gui_dialogs COMMAND test_meter_gui_dialogs)
set_tests_properties(meter_gui_dialogs PROPERTIES LABELS meter ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)

# The open-failure box's reason and the port list's tooltips.
add_executable(test_meter_gui_reason ${CMAKE_CURRENT_LIST_DIR}/test_meter_gui_reason.cpp)
set_target_properties(test_meter_gui_reason PROPERTIES AUTOMOC ON)
target_link_libraries(test_meter_gui_reason PRIVATE meter_gui Qt6::Test)
add_test(NAME meter_gui_reason COMMAND test_meter_gui_reason)
set_tests_properties(meter_gui_reason PROPERTIES LABELS meter ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 120)

if(TARGET ormet-meter-sim)
  add_executable(test_meter_gui_e2e ${CMAKE_CURRENT_LIST_DIR}/test_meter_gui_e2e.cpp)
  set_target_properties(test_meter_gui_e2e PROPERTIES AUTOMOC ON)
  target_compile_definitions(test_meter_gui_e2e PRIVATE ORMET_METER_SIM="$<TARGET_FILE:ormet-meter-sim>")
  target_link_libraries(test_meter_gui_e2e PRIVATE meter_gui Qt6::Test)
  add_dependencies(test_meter_gui_e2e ormet-meter-sim)
  add_test(NAME meter_gui_e2e COMMAND test_meter_gui_e2e)
  set_tests_properties(meter_gui_e2e PROPERTIES LABELS meter ENVIRONMENT QT_QPA_PLATFORM=offscreen TIMEOUT 240)

  # Pictures for a person to look at: meter-screenshots OUTPUT-FOLDER
  add_executable(meter-screenshots ${CMAKE_CURRENT_LIST_DIR}/meter_screenshots.cpp)
  target_compile_definitions(meter-screenshots PRIVATE ORMET_METER_SIM="$<TARGET_FILE:ormet-meter-sim>")
  target_link_libraries(meter-screenshots PRIVATE meter_gui)
  add_dependencies(meter-screenshots ormet-meter-sim)
endif()
