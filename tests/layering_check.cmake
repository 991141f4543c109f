cmake_minimum_required(VERSION 3.25)
# Fails when a source folder includes a header of a folder it may not see.
# Run as: cmake -DSOURCE_DIR=<project root> -P layering_check.cmake
#
# Dependencies point down only; ui/ and automation/ are two front-ends side
# by side that never see each other; main/ alone knows every layer.
set(core connect transport emi)
set(allowed_connect connect)
set(allowed_transport connect transport)
set(allowed_emi connect emi)
set(allowed_config ${core} config)
set(allowed_app ${core} config app)
set(allowed_ui ${core} config app ui)
set(allowed_automation ${core} config app automation)
set(allowed_main ${core} config app ui automation main)
# Folders whose code must build without Qt.
set(qt_free ${core} config)

set(project_folders connect transport emi config app ui automation main tools tests)
set(failures "")
foreach(folder connect transport emi config app ui automation main)
  file(GLOB files ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(file ${files})
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    file(RELATIVE_PATH shown ${SOURCE_DIR} ${file})
    foreach(line ${includes})
      if(line MATCHES "#[ \t]*include[ \t]*\"([a-z_]+)/")
        set(target ${CMAKE_MATCH_1})
        if(target IN_LIST project_folders AND NOT target IN_LIST allowed_${folder})
          string(APPEND failures "${shown}: ${line}\n")
        endif()
      elseif(folder IN_LIST qt_free AND line MATCHES "#[ \t]*include[ \t]*<Q")
        string(APPEND failures "${shown}: ${line} (a Qt header)\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Includes against the layering:\n${failures}")
endif()
message(STATUS "layering ok")
