# Ormet-Master's windows (Qt 6 Widgets) on meter_core, and the program itself.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(meter_gui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/dialog_rules.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlgsupport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/analogdisplay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comsetdlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlgparameterset.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlgparametersetin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dlgpassword.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ormetmasterdlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ormetmasterapp.cpp
)
set_target_properties(meter_gui PROPERTIES AUTOMOC ON)
target_include_directories(meter_gui PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(meter_gui PUBLIC meter_core Qt6::Widgets)

add_executable(Ormet-Master ${CMAKE_CURRENT_LIST_DIR}/main.cpp ${CMAKE_CURRENT_LIST_DIR}/smoke.h
  ${CMAKE_CURRENT_LIST_DIR}/smoke.cpp)
set_target_properties(Ormet-Master PROPERTIES AUTOMOC ON)
target_link_libraries(Ormet-Master PRIVATE meter_gui)
