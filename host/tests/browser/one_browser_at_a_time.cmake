# Read by CTest after the discovered tests: the real-browser tests share one lock.
if(karvo_real_browser_tests_TESTS)
  set_tests_properties(${karvo_real_browser_tests_TESTS} PROPERTIES RESOURCE_LOCK karvo_real_browsers)
endif()
