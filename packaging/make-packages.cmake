# Packs the program into the zip and the MSI, and lists both in SHA256SUMS:
#   cmake -DVERSION=... -DPRODUCT_CODE=... -DUPGRADE_CODE=... -DEPOCH=... -DPROGRAM=...
#         -DSOURCE_DIR=... -DOUTPUT_DIR=... -DWIXL=... -DMSIINFO=... -DMSIBUILD=... -DZIP=...
#         -P make-packages.cmake
# Every byte follows from the inputs: the files' times are EPOCH, and the MSI's package code
# is derived from what it packs.
cmake_minimum_required(VERSION 3.25)

set(base toggle-inline-images-${VERSION}-win32)
set(zip ${OUTPUT_DIR}/${base}.zip)
set(msi ${OUTPUT_DIR}/${base}.msi)
set(stage_name stage-${VERSION})
set(stage ${OUTPUT_DIR}/${stage_name})
set(members toggle-inline-images.exe LICENSE.txt README.txt)
list(TRANSFORM members PREPEND ${stage}/ OUTPUT_VARIABLE staged)

function(run)
  execute_process(COMMAND ${ARGV} WORKING_DIRECTORY ${OUTPUT_DIR} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY_FILE ${PROGRAM} ${stage}/toggle-inline-images.exe)
# Text for Windows users: CRLF, or Notepad before Windows 10 shows one long line.
configure_file(${SOURCE_DIR}/LICENSE ${stage}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${SOURCE_DIR}/packaging/README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)
file(CHMOD ${staged} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
run(touch -d @${EPOCH} ${staged})

# -X: no extra fields, whose access and change times would differ from build to build.
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${ZIP} -X -D -q -9 ${zip} ${members}
                WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)

# wixl takes sources relative to the folder it runs in.
run(${WIXL} -D Version=${VERSION} -D ProductCode=${PRODUCT_CODE} -D UpgradeCode=${UPGRADE_CODE}
            -D Stage=${stage_name} -o ${msi} ${SOURCE_DIR}/packaging/toggle-inline-images.wxs)

# wixl stamps a random package code and the build time; replace them with a code derived from
# what the package holds and with EPOCH. Windows Installer needs a package code that differs
# between packages that differ, which this gives.
set(contents "${VERSION}")
foreach(file IN ITEMS ${SOURCE_DIR}/packaging/toggle-inline-images.wxs ${staged})
  file(SHA256 ${file} hash)
  string(APPEND contents " ${hash}")
endforeach()
string(UUID package_code NAMESPACE ${UPGRADE_CODE} NAME "package ${contents}" TYPE SHA1 UPPER)
execute_process(COMMAND date -u -d @${EPOCH} "+%Y/%m/%d %H:%M:%S"
                OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${MSIINFO} export ${msi} _SummaryInformation
                OUTPUT_VARIABLE summary COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "\n9\t[^\n]*" "\n9\t{${package_code}}" summary "${summary}")
string(REGEX REPLACE "\n(1[23])\t[^\n]*" "\n\\1\t${time}" summary "${summary}")
file(WRITE ${OUTPUT_DIR}/_SummaryInformation.idt "${summary}")
run(${CMAKE_COMMAND} -E env TZ=UTC ${MSIBUILD} ${msi} -i _SummaryInformation.idt)
file(REMOVE ${OUTPUT_DIR}/_SummaryInformation.idt)

set(sums "")
foreach(file IN ITEMS ${msi} ${zip})
  file(SHA256 ${file} hash)
  get_filename_component(name ${file} NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${OUTPUT_DIR}/SHA256SUMS "${sums}")
