# Reads `objdump -d -M intel --insn-width=16` of a sample_app.dll and finds
# the instructions that use the three offsets of its profile
# (check_release.sh), from the image base `base`:
#  - list: an operand whose value is a slot of the object list
#    (base + list + 4 x type, type 0 to 80), as an address or an immediate;
#  - record pointer: a displacement `data` off a register that holds an
#    entry: a value loaded from a list slot, followed through moves between
#    registers and stack slots (at -O0 the entry goes through the stack);
#  - buffer: an operand whose value is base + buffer.
# Prints each, and a summary line per offset; exits 1 when an offset has
# fewer than two, or a displacement is not in the size its value needs.

function hex(s,    i, c, v) {
  s = tolower(s)
  sub(/^0x/, "", s)
  v = 0
  for (i = 1; i <= length(s); i++) {
    c = index("0123456789abcdef", substr(s, i, 1)) - 1
    if (c < 0) return -1
    v = v * 16 + c
  }
  return v
}

# Whether `text` holds a number in the object list / equal to the buffer.
function has_list(text,    v) {
  while (match(text, /0x[0-9a-f]+/)) {
    v = hex(substr(text, RSTART, RLENGTH))
    if (v >= list_lo && v <= list_hi && (v - list_lo) % 4 == 0) return 1
    text = substr(text, RSTART + RLENGTH)
  }
  return 0
}
function has_buffer(text) {
  while (match(text, /0x[0-9a-f]+/)) {
    if (hex(substr(text, RSTART, RLENGTH)) == buffer_at) return 1
    text = substr(text, RSTART + RLENGTH)
  }
  return 0
}

# The operand without its size ("DWORD PTR [ebp-0xc]" -> "[ebp-0xc]").
function bare(operand) {
  sub(/^[A-Z]+ PTR /, "", operand)
  return operand
}
function is_memory(operand) {
  return operand ~ /\[/ || operand ~ /^ds:/
}

# The displacement size of the ModRM operand of the instruction `bytes`:
# 1, 4, or 0 when there is none.
function displacement_size(bytes,    b, n, i, op, modrm) {
  n = split(bytes, b, " ")
  i = 1
  while (i <= n && b[i] ~ /^(66|67|f0|f2|f3|2e|3e|26|36|64|65)$/) i++
  op = b[i++]
  if (op == "0f") i += (b[i] == "38" || b[i] == "3a") ? 2 : 1
  modrm = hex(b[i])
  if (int(modrm / 64) == 1) return 1
  if (int(modrm / 64) == 2) return 4
  return 0
}

function forget(place) {
  delete entry[place]
  delete list_pointer[place]
}

BEGIN {
  FS = "\t"
  image = hex(base)
  list_lo = image + hex(list)
  list_hi = list_lo + 4 * 80
  buffer_at = image + hex(buffer)
  data_offset = hex(data)
  data_text = sprintf("+0x%x]", data_offset)
  wanted_size = data_offset > 127 ? 4 : 1
  wrong_size = 0
}

NF >= 3 && $1 ~ /^ *[0-9a-f]+:$/ {
  at = $1
  gsub(/[ :]/, "", at)
  text = $3
  mnemonic = text
  sub(/ .*/, "", mnemonic)
  operands = text
  sub(/^[a-z0-9]+ */, "", operands)
  split(operands, part, ",")
  dst = bare(part[1])
  src = bare(part[2])

  if (has_list(operands)) {
    lists++
    printf "  list            %s  %s\n", at, text
  }
  if (has_buffer(operands)) {
    buffers++
    printf "  buffer          %s  %s\n", at, text
  }
  for (r in entry) {
    if (r ~ /^e[a-ds][xip]$/ && r != "esp" && r != "ebp" && index(operands, "[" r data_text) > 0) {
      size = displacement_size($2)
      records++
      printf "  record pointer  %s  %s  (disp%d, entry in %s)\n", at, text, size * 8, r
      if (size != wanted_size) wrong_size++
      break
    }
  }

  # What the instruction leaves in its destination.
  if (mnemonic == "ret") {
    for (r in entry) delete entry[r]
    for (r in list_pointer) delete list_pointer[r]
  } else if (mnemonic == "call") {
    forget("eax"); forget("ecx"); forget("edx")
  } else if (mnemonic ~ /^(cmp|test|push|nop|j[a-z]+)$/) {
  } else if (mnemonic == "mov") {
    loads_entry = is_memory(src) && has_list(src)
    for (r in list_pointer) if (index(src, "[" r) == 1) loads_entry = 1
    keeps_entry = src in entry
    points_into_list = (!is_memory(src) && has_list(src)) || src in list_pointer
    forget(dst)
    if (loads_entry || keeps_entry) entry[dst] = 1
    else if (points_into_list) list_pointer[dst] = 1
  } else if (mnemonic == "lea" && has_list(src) && src !~ /e[a-ds][xip]/) {
    forget(dst)
    list_pointer[dst] = 1
  } else if ((mnemonic == "add" || mnemonic == "sub") && dst in list_pointer && src ~ /^0x/) {
  } else {
    forget(dst)
  }
}

END {
  status = 0
  printf "list (0x%X + 0x%X): %d references\n", image, hex(list), lists
  printf "record pointer (+0x%X, disp%d): %d references", data_offset, wanted_size * 8, records
  if (wrong_size) printf ", %d of them in the wrong size", wrong_size
  printf "\n"
  printf "buffer (0x%X + 0x%X): %d references\n", image, hex(buffer), buffers
  if (lists < 2) { print "FAIL: fewer than two references to the list"; status = 1 }
  if (records < 2) { print "FAIL: fewer than two reads of the record pointer from an entry"; status = 1 }
  if (wrong_size) { print "FAIL: a record pointer displacement not in the size its value needs"; status = 1 }
  if (buffers < 2) { print "FAIL: fewer than two references to the buffer"; status = 1 }
  exit status
}
