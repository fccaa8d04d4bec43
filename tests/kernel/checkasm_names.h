// Names for the harness's reports: a slot by its field in the table, a
// kernel by the name of the function the slot holds (read from this test
// program's own symbol table, so that templates and functions local to
// their file are named too).
#pragma once

#include <cxxabi.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace checkasm {

namespace detail {

// Function symbols of the running program by run-time address.
inline const std::map<uintptr_t, std::string> &function_symbols() {
  static const std::map<uintptr_t, std::string> symbols = [] {
    std::map<uintptr_t, std::string> out;
    FILE *f = std::fopen("/proc/self/exe", "rb");
    if (!f) return out;
    std::vector<char> image;
    char buf[1 << 16];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) image.insert(image.end(), buf, buf + n);
    std::fclose(f);
    if (image.size() < sizeof(Elf64_Ehdr)) return out;
    const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    if (eh->e_shoff == 0 || eh->e_shoff + size_t{eh->e_shnum} * sizeof(Elf64_Shdr) > image.size()) return out;
    const auto *sh = reinterpret_cast<const Elf64_Shdr *>(image.data() + eh->e_shoff);
    // The program's load address: the difference a position-independent
    // executable is moved by.
    uintptr_t base = 0;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
          *static_cast<uintptr_t *>(data) = info->dlpi_addr;
          return 1;  // the first object is the program itself
        },
        &base);
    for (int i = 0; i < eh->e_shnum; i++) {
      if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
      const Elf64_Shdr &strtab = sh[sh[i].sh_link];
      if (sh[i].sh_offset + sh[i].sh_size > image.size() || strtab.sh_offset + strtab.sh_size > image.size()) continue;
      const auto *sym = reinterpret_cast<const Elf64_Sym *>(image.data() + sh[i].sh_offset);
      for (size_t k = 0; k < sh[i].sh_size / sizeof(Elf64_Sym); k++) {
        if (ELF64_ST_TYPE(sym[k].st_info) != STT_FUNC || sym[k].st_value == 0 || sym[k].st_name >= strtab.sh_size)
          continue;
        out.emplace(base + sym[k].st_value, image.data() + strtab.sh_offset + sym[k].st_name);
      }
    }
    return out;
  }();
  return symbols;
}

}  // namespace detail

// The function at fn, demangled, without its parameters and the anonymous
// namespace; "?" when the program has no symbol for it.
inline std::string kernel_name(const void *fn) {
  if (!fn) return "(empty)";
  const auto &symbols = detail::function_symbols();
  const auto it = symbols.find(reinterpret_cast<uintptr_t>(fn));
  if (it == symbols.end()) return "?";
  int status = 0;
  char *plain = abi::__cxa_demangle(it->second.c_str(), nullptr, nullptr, &status);
  std::string name = status == 0 && plain ? plain : it->second;
  std::free(plain);
  // Without the anonymous namespace and the parameter list (template
  // arguments stay).
  static const char anon[] = "(anonymous namespace)::";
  std::string out;
  int depth = 0;
  for (size_t i = 0; i < name.size();) {
    if (name.compare(i, sizeof anon - 1, anon) == 0) {
      i += sizeof anon - 1;
      continue;
    }
    const char c = name[i++];
    if (c == '(' && depth == 0 && !out.empty()) break;
    depth += (c == '<') - (c == '>');
    out.push_back(c);
  }
  return out;
}

// A slot's field in its table, by the tables' numbering.
inline std::string slot_name(const std::string &table, int32_t i) {
  static const char *const pixel_rows[] = {"sad_half", "sad", "sad_half_wide", "sad_half_tall", "sad_x4_half",
                                           "sad_x4_half_wide", "sad_x4_half_tall", "sad_x3_half", "sad_x2_half", "ssd",
                                           "ssd_wide", "ssd_tall", "satd", "satd_wide", "satd_tall", "sa8d",
                                           "sa8d_wide", "sa8d_tall", "sa8d_half", "block_cost"};
  static const char *const pixel_tail[] = {"pixel_var_64x64", "pixel_var_32x32", "pixel_var_16x16", "pixel_var_8x8",
                                           "pixel_var_4x4", "ssd_wxh", "hadamard_ac_8x8", "count_nonzero",
                                           "coeff_scan_groups", "sad_wxh", "ctu_gradient_pyramid",
                                           "ctu_gradient_dir4_pyramid", "ctu_gradient_hv_pyramid",
                                           "ctu_gradient_diag_pyramid", "copy_to_aligned_64x64", "copy_to_aligned_32x32",
                                           "copy_from_aligned_64x64", "copy_from_aligned_32x32",
                                           "coeff_levels_4x4", "satd_x4_4x4",
                                           "sa8d_blocks_16x16", "sa8d_blocks_16x8", "sa8d_blocks_8x16",
                                           "sa8d_blocks_8x8"};
  static const char *const transform[] = {"dct_fwd_4x4", "dct_inv_add_4x4", "dct_fwd_8x8", "dct_fwd_low_8x8",
                                          "dct_inv_add_8x8", "dct_inv_add_low_8x8", "dct_fwd_16x16",
                                          "dct_fwd_low_16x16", "dct_inv_add_16x16", "dct_inv_add_low_16x16",
                                          "dct_fwd_32x32", "dct_fwd_low_32x32", "dct_inv_add_32x32",
                                          "dct_inv_add_low_32x32", "coeff_cost"};
  static const char *const sao[] = {"sao_apply_ctu", "sao_diff", "sao_diff_wxh", "sao_stats_eo[0]", "sao_stats_eo[1]",
                                    "sao_stats_eo[2]", "sao_stats_eo[3]", "sao_stats_bo", "sao_stats_eo_wxh[0]",
                                    "sao_stats_eo_wxh[1]", "sao_stats_eo_wxh[2]", "sao_stats_eo_wxh[3]",
                                    "sao_stats_bo_wxh", "reserved[0]", "reserved[1]", "reserved[2]"};
  static const char *const deblock[] = {"deblock_luma_ver_edge", "deblock_luma_hor_edge", "deblock_chroma_ver_edge",
                                        "deblock_chroma_hor_edge"};
  static const char *const quant[] = {"quant", "dequant", "rdoq", "rdoq_alt", "sign_hide"};
  // (Appended rather than "#" + ..., which GCC 12 warns about wrongly.)
  std::string unknown = "#";
  unknown += std::to_string(i);
  auto pick = [&](const char *const *names, size_t count) {
    return i >= 0 && static_cast<size_t>(i) < count ? std::string(names[i]) : unknown;
  };
  if (table == "pixel") {
    if (i >= 0 && i < 100) return std::string(pixel_rows[i / 5]) + "[" + std::to_string(i % 5) + "]";
    if (i >= 100 && i < 124) return pixel_tail[i - 100];
    if (i >= 124 && i < 129) return "sad_x4_half_flat[" + std::to_string(i - 124) + "]";
    return unknown;
  }
  if (table == "transform") return pick(transform, sizeof transform / sizeof *transform);
  if (table == "sao") return pick(sao, sizeof sao / sizeof *sao);
  if (table == "deblock") return pick(deblock, sizeof deblock / sizeof *deblock);
  if (table == "quant") return pick(quant, sizeof quant / sizeof *quant);
  return unknown;
}

// "<table> slot <i> <field>": how the reports name a slot (compare_slot
// adds the kernel's name).
inline std::string slot_label(const std::string &table, int32_t i) {
  std::string label = table;
  label += " slot ";
  label += std::to_string(i);
  label += ' ';
  label += slot_name(table, i);
  return label;
}

}  // namespace checkasm
