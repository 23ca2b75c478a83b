#!/usr/bin/env bash
# Checks every EFI image of the firmware build before anyone flashes it: the
# machine matches the module's kind (DXE: x86-64 PE32+, PEI: IA32 PE32), the
# subsystem is EFI boot service driver (11), base relocations are there (the
# firmware loads images at any address), nothing is imported (there is no
# DLL to import from), the layout suits the kind and the image is within its
# size budget. A PEI image executes in place from flash: its sections are
# aligned as in the file (32 bytes) and each lies at its own file offset. A
# DXE image is copied to pages that get per-section protection: sections at
# 4 KiB, file alignment 32. Each image's kind comes from <Name>.kind beside
# it, its budget from the module list.
#   scripts/check-images.sh [images-dir [module-list]]
#   (defaults: build/firmware/images, firmware/Modules.toml)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/firmware/images}
modules=${2:-$root/firmware/Modules.toml}

readobj=$(command -v llvm-readobj-14 || command -v llvm-readobj || true)
if [ -z "$readobj" ]; then
  echo "check-images: llvm-readobj not found (package llvm)" >&2
  exit 1
fi

shopt -s nullglob
images=()
if [ -d "$dir" ]; then
  images=("$dir"/*.efi)
fi
if [ ${#images[@]} -eq 0 ]; then
  echo "no EFI images yet"
  exit 0
fi

declare -A budgets=()
if ! budget_lines=$(python3 "$root/tools/fwimage/fwimage.py" budgets --modules "$modules" 2>&1); then
  echo "check-images: $budget_lines" >&2
  exit 1
fi
while read -r module bytes; do
  budgets[$module]=$bytes
done <<<"$budget_lines"

# The last field of the first line whose first field is KEY:, without brackets.
field() {
  awk -v key="$1:" '$1 == key { value = $NF; gsub(/[()]/, "", value); print value; exit }' <<<"$info"
}

failures=0
for image in "${images[@]}"; do
  name=$(basename "$image")
  problems=()

  kind_file=${image%.efi}.kind
  kind=$(cat "$kind_file" 2>/dev/null || true)
  case "$kind" in
    DXE) want_machine=0x8664 want_magic=0x20B arch="x86-64 PE32+" want_align=4096 ;;
    PEI) want_machine=0x14C want_magic=0x10B arch="IA32 PE32" want_align=32 ;;
    *)
      echo "FAIL $name: unknown kind '${kind}' (expected DXE or PEI in $(basename "$kind_file"))"
      failures=$((failures + 1))
      continue
      ;;
  esac

  if ! info=$("$readobj" --file-headers --sections --coff-imports --coff-basereloc "$image" 2>&1); then
    echo "FAIL $name: not a readable PE image: $info"
    failures=$((failures + 1))
    continue
  fi

  machine=$(field Machine)
  magic=$(field Magic)
  subsystem=$(field Subsystem)
  reloc_size=$(field BaseRelocationTableSize)
  import_size=$(field ImportTableSize)
  iat_size=$(field IATSize)
  delay_size=$(field DelayImportDescriptorSize)
  section_align=$(field SectionAlignment)
  file_align=$(field FileAlignment)
  # Sections whose address differs from their file offset, or that are
  # longer in memory than in the file: they would not run where they lie.
  displaced=$(awk 'function num(text,   i, value) {
                     if (text !~ /^0x/) return text + 0
                     value = 0
                     for (i = 3; i <= length(text); i++)
                       value = value * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
                     return value
                   }
                   $1 == "Name:" { name = $2 }
                   $1 == "VirtualSize:" { vsize = num($2) }
                   $1 == "VirtualAddress:" { va = num($2) }
                   $1 == "RawDataSize:" { raw = num($2) }
                   $1 == "PointerToRawData:" { if (va != num($2) || vsize > raw) printf "%s ", name }' <<<"$info")
  size=$(stat -c %s "$image")
  module=${name%.efi}
  imports=$(grep -c -E '^(Import|DelayImport) \{' <<<"$info" || true)
  relocations=$(awk '/^BaseReloc \[/ { in_list = 1; next }
                     in_list && /^\]/ { in_list = 0 }
                     in_list && $1 == "Type:" && $2 != "ABSOLUTE" { count++ }
                     END { print count + 0 }' <<<"$info")

  if [ -z "$machine" ] || [ $((machine)) -ne $((want_machine)) ]; then
    problems+=("machine ${machine:-missing}, a $kind image must be $want_machine")
  fi
  if [ -z "$magic" ] || [ $((magic)) -ne $((want_magic)) ]; then
    problems+=("optional header magic ${magic:-missing}, expected $want_magic")
  fi
  if [ -z "$subsystem" ] || [ $((subsystem)) -ne 11 ]; then
    problems+=("subsystem ${subsystem:-missing}, expected 11 (EFI boot service driver)")
  fi
  if grep -q IMAGE_FILE_RELOCS_STRIPPED <<<"$info" || [ $((${reloc_size:-0})) -eq 0 ] ||
    [ "$relocations" -eq 0 ]; then
    problems+=("no base relocations (the image could only load at its link address)")
  fi
  if [ "$imports" -ne 0 ] || [ $((${import_size:-0})) -ne 0 ] || [ $((${iat_size:-0})) -ne 0 ] ||
    [ $((${delay_size:-0})) -ne 0 ]; then
    problems+=("imports symbols from another image")
  fi

  if [ -z "$section_align" ] || [ $((section_align)) -ne $want_align ]; then
    problems+=("section alignment ${section_align:-missing}, a $kind image needs $want_align")
  fi
  if [ -z "$file_align" ] || [ $((file_align)) -ne 32 ]; then
    problems+=("file alignment ${file_align:-missing}, expected 32")
  fi
  if [ "$kind" = PEI ] && [ -n "$displaced" ]; then
    problems+=("sections ${displaced% } not at their file offsets: the image cannot execute in place")
  fi
  budget=${budgets[$module]:-}
  if [ -z "$budget" ]; then
    problems+=("no size budget for $module in $(basename "$modules")")
  elif [ "$size" -gt "$budget" ]; then
    problems+=("$size bytes, over its budget of $budget")
  fi

  if [ ${#problems[@]} -eq 0 ]; then
    printf 'ok   %-20s %s %s, subsystem 11, %d relocations, no imports, alignment %d/%d, %d of %d bytes\n' \
      "$name" "$kind" "$arch" "$relocations" "$section_align" "$file_align" "$size" "$budget"
  else
    for problem in "${problems[@]}"; do
      echo "FAIL $name: $problem"
    done
    failures=$((failures + 1))
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "check-images: $failures of ${#images[@]} images failed" >&2
  exit 1
fi
