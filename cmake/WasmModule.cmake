# The library core as a WebAssembly module (BUMPWELD_WASM, configured with emcmake): the layers
# without the command line and without the modules that need native libraries (see the stand-ins
# in the main list), loops on one thread, no writeback to a disk, and src/wasm/WasmModule.cpp
# for the JavaScript side. The output is bumpweld_core.js and bumpweld_core.wasm; web/bumpweld.js
# is the API on top.
#
# C++ exceptions are the job's one door out, so they are WebAssembly exceptions here (caught by
# the engine, never an abort). The flags below add no value-changing option: -ffp-contract=off
# comes with the base layer and -msimd128 only lets the compiler use 128-bit lanes for the same
# IEEE operations (WebAssembly's SIMD has no fused multiply-add), so the bytes are the native
# build's, which the tests check.
set(WASM_FLAGS -fwasm-exceptions -msimd128 -mnontrapping-fptoint)
# One module, linked statically: position-independent code would only add indirections.
foreach(layer bumpweld_base bumpweld_codecs bumpweld_publish bumpweld_formats bumpweld_engine bumpweld_grammar bumpweld_capi)
  set_target_properties(${layer} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
  target_compile_options(${layer} PRIVATE ${WASM_FLAGS})
  target_compile_definitions(${layer} PRIVATE BUMPWELD_NO_THREADS=1 BUMPWELD_NO_FILE_SYNC=1)
endforeach()

add_executable(bumpweld_core src/wasm/WasmModule.cpp ${LIBRARY_OBJECTS})
target_link_libraries(bumpweld_core PRIVATE bumpweld_capi)
target_compile_options(bumpweld_core PRIVATE ${WASM_FLAGS} ${BUMPWELD_WARNINGS})
set(WASM_EXPORTS
  _malloc _free _bw_version _bw_strerror _bw_sample_size _bw_sample_map _bw_result_layout _bw_result_copy _bw_job_new _bw_job_free _bw_job_set_flags _bw_job_set_option
  _bw_job_set_height_scale_text _bw_job_clear_height_scale _bw_job_clear_options _bw_job_error
  _bw_job_status _bw_job_confine_files _bw_run_inputs _bw_result_count _bw_output_count _bw_output_name
  _bwjs_image_new _bwjs_image_set_texels _bwjs_check_image _bwjs_input_new _bwjs_console_begin
  _bwjs_console_end _bwjs_result_bytes _bwjs_result_size _bwjs_result_width _bwjs_result_height
  _bwjs_result_header_bytes)
string(REPLACE ";" "," WASM_EXPORT_LIST "${WASM_EXPORTS}")
# Memory grows as a job needs it, up to the 4 GiB a 32-bit module can address; past that malloc
# returns null and the job fails with its out-of-memory message instead of aborting. Under Node
# the module is a library of its host: it sets no process-wide handlers (which would also keep
# every instance that web/bumpweld.js replaces alive).
target_link_options(bumpweld_core PRIVATE ${WASM_FLAGS}
  -sMODULARIZE=1 -sEXPORT_NAME=createBumpweldCore -sENVIRONMENT=web,worker,node
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB -sABORTING_MALLOC=0 -sINITIAL_MEMORY=64MB
  -sFILESYSTEM=1 -sFORCE_FILESYSTEM=1 -sNODEJS_CATCH_EXIT=0 -sNODEJS_CATCH_REJECTION=0
  -sEXPORTED_FUNCTIONS=${WASM_EXPORT_LIST}
  -sEXPORTED_RUNTIME_METHODS=FS,UTF8ToString,stringToUTF8,lengthBytesUTF8,HEAPU8)
