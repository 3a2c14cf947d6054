# libdeflate as the project builds and tests it: release 1.14, unmodified, in
# third_party/libdeflate/ (origin and this table in its README.md). Compiled
# into the module, so every machine inflates PNG data with the same code.
#
#   tonvik_check_pinned_libdeflate(<directory holding libdeflate.h and lib/>)
include(${CMAKE_CURRENT_LIST_DIR}/pinned_files.cmake)

set(TONVIK_LIBDEFLATE_PINS
  "COPYING=5d246dd2537307b80fed9ba5fdddf5d0fe7a8f023393a071182b9daed56b40fe"
  "common_defs.h=c03bfa902138ed1f613f4b002fa12fd7755600e91a6cdfc8277ee528a410f321"
  "lib/adler32.c=2ba852165ae164b8504c62d9d6445defd0f95f0ae4263cd07cc8725045d75654"
  "lib/adler32_vec_template.h=d84c6f88473189dd6f2ffaf9a47a238bec212ddfe371ec0ff55dd8954b41a185"
  "lib/arm/adler32_impl.h=8328c6f22018be421b140df226765888db0f04241958e85cc9b3408e8f92378a"
  "lib/arm/cpu_features.c=bb13645ad32c3c0f697ce7aa87a4e3729a9474a3dc120bf6a88d727d55c96d09"
  "lib/arm/cpu_features.h=bdc3372c4cffb0e65236c58e65e82f429425bddf8c02ccd79276edb3b8198022"
  "lib/arm/crc32_impl.h=98b6ebb40433f315a5f5ac136735ebd842291f7a73525f0487b9d44e95949e7b"
  "lib/arm/crc32_pmull_helpers.h=75e3d453e44cb06292e17e13ca8e4636aea5c6cc3236203047cc84392c7f47c9"
  "lib/arm/crc32_pmull_wide.h=052a5781cad3de0fe584a80586150cdfb131ee6f16df0fa7304761eeccc974f4"
  "lib/arm/matchfinder_impl.h=d370ea6c02f61e1ca2cb61a286b433a2811cd23e00ddc0b574d1b8fd13f160fd"
  "lib/bt_matchfinder.h=f22b853577d7f868d08e08e7d8440625b5f9bee88b418cd58a61a5b60d98805d"
  "lib/cpu_features_common.h=ec6622d6fa3cec6a0f85468313d530a83c687d82d61c413f50862470e4027456"
  "lib/crc32.c=4532c7a8e5ce571926fcb98c5b9edbce7e181e08c78751893aae2dc7fd714734"
  "lib/crc32_multipliers.h=15cf05fe2c5e07edff062d1a611dc2bee12f66fee24e05718c46005d9a8d5d52"
  "lib/crc32_tables.h=43f0a8a29ad89e533f3cf1cfa801d894dbae458d37ce53b5798c4e98f067e6b5"
  "lib/decompress_template.h=ce972f861bc6ec74657795c774e704dcb50c923a45b53694e54e2c64bff05c32"
  "lib/deflate_compress.c=267a6bc65219df32ee85b9c10fc7da8cfca1c1359e8c2de9d9acc925b5851bb6"
  "lib/deflate_compress.h=cd3a74bb22e5358e9571184294b1f3600e2a72bde483485eda242a92bb7124b0"
  "lib/deflate_constants.h=72ea6e5f0abe53e781203e3f383603a765a768b860a09b3356be36bfd87c8af3"
  "lib/deflate_decompress.c=a281fa2e14b30a6de7b08010d41080e40e263223d7e252d36d1e111a529e3d67"
  "lib/hc_matchfinder.h=ef54e768ae6a95a45b234ee20b6412ea67eae415de891d1d50b46536ce5833fe"
  "lib/ht_matchfinder.h=167a7c29fe8acaa69460d0b9a48cf70dbb1f0dca041fcf03b81e7977135ba36b"
  "lib/lib_common.h=a1fc943b680072ee6756b8aebe02646db507d37fb6b301dc685765ab02b6c990"
  "lib/matchfinder_common.h=e0c66a467d198077ef87ccae57699b8d071b9fb58e0b7d68f0c2a5cc426f6e6b"
  "lib/utils.c=e68948b52ba9dd4c90f6303f633afd9dbf0fd96d77e02fdc3f6ee09e8f69d026"
  "lib/x86/adler32_impl.h=3ad9ca0acf8208cb899ee35a74e7534508510d56930659b9fa9234a5afe71745"
  "lib/x86/cpu_features.c=81a730e8cc124316f26e261a41090a9b7f6eddc1dfbfac25b9a7a69f179ace65"
  "lib/x86/cpu_features.h=414da530d9e076225996724fddd093c26da620eebccfd2a07ab75c8935fdbc80"
  "lib/x86/crc32_impl.h=0fb826fb7ec1a43cf4eb312b2d806f20654d89caa1ab8daedc721e872fb280bb"
  "lib/x86/crc32_pclmul_template.h=e2e2511c961f03673804319ef7dc3139d589f9c5da5b8e47a7557543b663d135"
  "lib/x86/decompress_impl.h=67fb44a0f540a340f20116f0926964b41e3d0b76bc371193bd616ac6d3574d38"
  "lib/x86/matchfinder_impl.h=815cae8221ef667123a62497896e6f032ae67be81b47b9d3cacf5b9cd95a760a"
  "lib/zlib_compress.c=493104b9d90b20f7d421115ed4ba4b98f798e5567ebac16ca0a944acac2f0074"
  "lib/zlib_constants.h=562e16b83ac33ac6d351cdfdf1962750576080d65c22ab66cad0aaa33695bebb"
  "libdeflate.h=8cd2e028eac1497a3f80eb65ee17c5dbc361c15bca6446785d690c106d18d4ce"
)

function(tonvik_check_pinned_libdeflate dir)
  tonvik_check_pinned_files(libdeflate ${dir} ${TONVIK_LIBDEFLATE_PINS})
endfunction()
