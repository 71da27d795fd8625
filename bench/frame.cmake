# The service object frame: trace log costs and throughput, the event hand-off to the control
# object on the object's thread, an idle enabled device.
sorvex_add_bench(NAME frame_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_bench.cpp
          ${PROJECT_SOURCE_DIR}/service/frame/fake_control_object.cpp
          ${PROJECT_SOURCE_DIR}/service/frame/test_device.cpp
  LIBS talvex_frame)
