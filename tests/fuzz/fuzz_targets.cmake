# The accept path, the filter texts, the link-layer stripping, the pcapng reader, what crosses to and from
# the capture helper, and the report's IPv4, DNS, TLS, HTTP, DHCP, DHCPv6 and NTP sections as libFuzzer targets;
# included from tests/CMakeLists.txt. Each corpus is replayed as an ordinary test in every
# build; with TROVIX_FUZZ the fuzzers themselves are built too (scripts/fuzz runs them).
set(fuzz_dir ${PROJECT_SOURCE_DIR}/tests/fuzz)
function(trovix_fuzz_target name library)
  add_executable(${name}_fuzz_replay ${fuzz_dir}/${name}_fuzz.cpp ${fuzz_dir}/replay_main.cpp)
  target_link_libraries(${name}_fuzz_replay PRIVATE ${library})
  add_test(NAME ${name}_fuzz_replay COMMAND ${name}_fuzz_replay ${fuzz_dir}/corpus/${name})
  if(TROVIX_FUZZ)
    add_executable(${name}_fuzz ${fuzz_dir}/${name}_fuzz.cpp)
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name}_fuzz PRIVATE ${library})
  endif()
endfunction()

trovix_fuzz_target(accept trovix_capture)
trovix_fuzz_target(filter trovix_capture)
trovix_fuzz_target(link trovix_files)
trovix_fuzz_target(pcapng trovix_files)
trovix_fuzz_target(request trovix_capture)
trovix_fuzz_target(ipv4 trovix_report)
trovix_fuzz_target(dns trovix_report)
trovix_fuzz_target(tls trovix_report)
trovix_fuzz_target(http trovix_report)
trovix_fuzz_target(dhcp trovix_report)
trovix_fuzz_target(dhcpv6 trovix_report)
trovix_fuzz_target(ntp trovix_report)
