# What "cmake --install" puts below the prefix (the packages use
# /opt/tessaron, the layout the programs expect): programs, libraries with
# their links, the headers of the two public libraries, the manual pages,
# and the examples the administrator's files start from.
if(NOT SORVAN_FUZZ)
  install(TARGETS ${TESSARON_PROGRAMS} RUNTIME DESTINATION bin)
  install(TARGETS sorvan varro kord_setup LIBRARY DESTINATION lib)
  install(FILES ${CMAKE_SOURCE_DIR}/util/sorvan.h ${CMAKE_SOURCE_DIR}/port/varro.h
          DESTINATION include)
  foreach(section 1 5 8)
    file(GLOB pages ${CMAKE_SOURCE_DIR}/docs/man/*.${section})
    install(FILES ${pages} DESTINATION share/man/man${section})
  endforeach()
  # A group file and a flowgate.conf that monitor nothing until edited,
  # the demo's node and port files, the agent's environment.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/examples/gpfile
                ${CMAKE_SOURCE_DIR}/packaging/examples/flowgate.conf
                ${CMAKE_SOURCE_DIR}/packaging/examples/cluster.conf
                ${CMAKE_SOURCE_DIR}/packaging/agent.env
          DESTINATION share/examples)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/demo/nodes ${CMAKE_SOURCE_DIR}/examples/demo/ports
          DESTINATION share/examples)
  # Alert rules ready for Prometheus.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/prometheus/tessaron-rules.yml DESTINATION share/prometheus)
  # Everything a package build compiles, and nothing else (no tests, no
  # benchmarks).
  add_custom_target(deliverables)
  add_dependencies(deliverables ${TESSARON_PROGRAMS} sorvan varro kord_setup)
endif()
