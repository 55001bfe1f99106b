# kqd's page in a real headless browser: Debian's chromium driven through
# chromedriver by python3-selenium (scripts/deps.sh browser), against kqd on
# the simulated reader. Skipped (with the reason in its output) when chromium
# is not installed. Label: browser. Run alone: ctest --preset release -L browser
if(NOT TARGET kqd)
  return()
endif()
# The page's timing (an arrival shown within a second) is about a kqd built
# for use; the sanitizer builds run kqd's own tests instead.
if(CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  return()
endif()
# Debian's interpreter, where python3-selenium installs, not one found first on PATH.
find_program(KQD_BROWSER_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT KQD_BROWSER_PYTHON)
  find_program(KQD_BROWSER_PYTHON NAMES python3)
endif()
if(NOT KQD_BROWSER_PYTHON)
  message(STATUS "kqd_browser: no python3, the browser test is not registered")
  return()
endif()
add_test(NAME kqd_browser
         COMMAND ${KQD_BROWSER_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/page_test.py
                 --kqd $<TARGET_FILE:kqd> --screenshot ${CMAKE_BINARY_DIR}/kqd-page.png)
# 77: chromium is not installed. The browser and kqd use up to a core each,
# so the test runs alone.
set_tests_properties(kqd_browser PROPERTIES LABELS "browser;service" SKIP_RETURN_CODE 77
                     TIMEOUT 180 RUN_SERIAL TRUE)
