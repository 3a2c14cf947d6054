# zlib-ng as the project builds and tests it: release 2.3.3, unmodified, the
# inflater's files alone, in third_party/zlib-ng/ (origin and this table in
# its README.md). Compiled into the module for the PNG reader's streaming
# inflate, so every machine inflates with the same code.
#
#   tonvik_check_pinned_zlib_ng(<directory holding zbuild.h and arch/>)
include(${CMAKE_CURRENT_LIST_DIR}/pinned_files.cmake)

set(TONVIK_ZLIB_NG_PINS
  "LICENSE.md=6c9f0d975b41afaa34d22f55bb8986ce69e5cb7ad327cb2b28820cd425edf5ee"
  "arch/generic/chunk_128bit_perm_idx_lut.h=b5bc9c382d3f10c09af80934336ad66311a0dd5e3973f95e891ae90923feab27"
  "arch/generic/chunk_256bit_perm_idx_lut.h=182d272c883f4aa0c29e51b36d0ab46e31bc3d1ac44313e907a9295a66702aae"
  "arch/generic/chunk_permute_table.h=3f1e09e697a9b2dff4395aca356e61765c44511a9dc653abb6998671afd20ae6"
  "arch/generic/chunkset_c.c=b04b8a75613884f7cf7277865c642eadbff496683b5d6a20fb55255264cf13f8"
  "arch/generic/generic_functions.h=830438c4639786ef8372343b78f7096570e6e7039af69d6b92038614accffc93"
  "arch_functions.h=faf484c80e4dcc9c3de474586e2cf43a1bae860e430f88fc0c432f9deb717eb7"
  "chunkset_tpl.h=7e3032e6772d8a5dd276505cf569ba4cc98de17ab911593cdec4d6d5528a4cb8"
  "crc32.h=e291f26ecc8ced5bf016e530fec22ee305c18df209c2a434bcb86b9235c227f1"
  "crc32_braid_p.h=87be1386612aeaa78250cb86d101324d6d14f5dd996d90e03fc3beafe03fa5f9"
  "deflate.h=e03aed2cbba6f0dee25df0a482ba0ab86525a022e45bab7a0fcd3476cbbddf6d"
  "fallback_builtins.h=25fe7dbe1fe172a901b2a51aa5626fc33d275fb89cd32602567c2d57db24790d"
  "functable.h=336794d300e175857f799d6061395dc1c5a1837bba86affa515e69ccbfd013a3"
  "inffast_tpl.h=d61d71c4bc97d837a9925b7082f01faf544984c3ab31b1250b9e40091355ec6a"
  "inffixed_tbl.h=a94225335396245e9f0ccb2e9b4b334fe7ee0111ed8e32a26bcd52187f364314"
  "inflate.c=eae46f1e806e663cd9a3d9a724d74012b5071cc18141422a91de9c7cf41c2b3b"
  "inflate.h=18c8bee02d34590f9ad6dd02dbfa458515dae7e7127d0712d82a0a7599ce9e38"
  "inflate_p.h=7ca493af3e9430d866d34518b17e0358177744e306839d1ad962054da0e129c1"
  "inftrees.c=d5776b7ec068ac9077aafd8a74e10ea0f2f0951c386ac867b7a1e7e697dfc758"
  "inftrees.h=2ba1beb76d7922fcb37708809e31f62ee366827da80faf09a7e461b439afd291"
  "zbuild.h=e26c9eb94670aeeef9835edc4048eb2e53ca0e432d7715820d77f84e63eb1fef"
  "zconf-ng.h.in=ef5b25e964fc2aff0fccac38e412b4d2e30d105d5ee0bfc63e50eb675794f5c9"
  "zendian.h=5be3e2989524198f13b68cc083b1502747effe92325edee59e3c4ad93cc3c62f"
  "zlib-ng.h.in=0e56e94df2d417619099f8f0f1b97a8af4642b200cb1ade95ceccb962c3f55af"
  "zlib_name_mangling.h.empty=38e51a846d6c2bd6100298c55328dba4437c08fa1dceda4eb2e06ecb1d142058"
  "zmemory.h=9af58a7808e197dda7bdc18d1f9bfca6acc322339cd7825830ae8bb0a2c6f666"
  "zutil.c=7361af4ef119a7e4fcc52aed24b83ae8d3489db37a2fbece4ce51d984722cb22"
  "zutil.h=d2539934ce6a81e286913f82bed0d1a2d60c994d02b10118907c9503d73c395c"
  "zutil_p.h=25028e737f4203e834cc1c629da8235c4141c9751c49e8e21a9ae3eca231744d"
)

function(tonvik_check_pinned_zlib_ng dir)
  tonvik_check_pinned_files(zlib-ng ${dir} ${TONVIK_ZLIB_NG_PINS})
endfunction()
