# The program's own curl_easy_init, which counts the request handles the client makes, must be
# visible to the library's calls.
set_target_properties(${target} PROPERTIES ENABLE_EXPORTS ON)
