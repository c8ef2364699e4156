-- The same records read the way a script author would read them without
-- Quorvane, straight through LuaJIT's FFI: the address table's numbers cast
-- to pointers, the record cast to a struct, field loads, ffi.string for the
-- byte strings and WideCharToMultiByte for the wide texts. Nothing is
-- guarded: an address that cannot be read crashes the host.
--
-- Returns { object = function(addressTable, typeIndex), text = function(addressTable) }
-- for the layouts the benchmark measures (3, 6 and 80).
local ffi = require "ffi"
local bit = require "bit"

ffi.cdef [[
typedef struct {
  uint8_t type, autoadjust, soft, monospace, align;
  int8_t spacing_x, spacing_y;
  uint8_t precision;
  uint32_t color, color2;
  char font[32];
  uint16_t text[488];
} qvb_text_record;

typedef struct {
  char file[280];
  int16_t type, mode, res_w, res_h, pad_w, pad_h;
  uint32_t color;
  int32_t sample_n;
  uint8_t mirror;
} qvb_video_record;

typedef struct {
  int16_t type, filter;
  char name[256];
  char param[764];
} qvb_filter_record;

int __stdcall WideCharToMultiByte(unsigned int code_page, unsigned long flags,
                                  const uint16_t* wide, int wide_length,
                                  char* out, int out_size,
                                  const char* default_char, int* used_default);
]]

local C = ffi.C
local band, bor, lshift, rshift = bit.band, bit.bor, bit.lshift, bit.rshift
local u32_ptr = ffi.typeof("const uint32_t*")
local wide_ptr = ffi.typeof("const uint16_t*")
local text_ptr = ffi.typeof("const qvb_text_record*")
local video_ptr = ffi.typeof("const qvb_video_record*")
local filter_ptr = ffi.typeof("const qvb_filter_record*")
local CP_ACP = 0

local function swap_red_blue(c)
  return bor(band(rshift(c, 16), 0xFF), lshift(band(c, 0xFF), 16), band(c, 0xFF00))
end

-- One conversion buffer for the script, grown when a text needs more.
local ansi_buffer, ansi_size = nil, 0
local function ansi(wide)
  local size = C.WideCharToMultiByte(CP_ACP, 0, wide, -1, nil, 0, nil, nil)
  if size == 0 then return nil end
  if size > ansi_size then
    ansi_buffer, ansi_size = ffi.new("char[?]", size), size
  end
  C.WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi_buffer, size, nil, nil)
  return ffi.string(ansi_buffer, size - 1)
end

local builders = {
  [3] = function(address)
    local r = ffi.cast(text_ptr, address)
    return {
      type = r.type, autoadjust = r.autoadjust, soft = r.soft,
      monospace = r.monospace, align = r.align,
      spacing_x = r.spacing_x, spacing_y = r.spacing_y, precision = r.precision,
      color = swap_red_blue(r.color), color2 = swap_red_blue(r.color2),
      font = ffi.string(r.font), text = ansi(r.text),
    }
  end,
  [6] = function(address)
    local r = ffi.cast(video_ptr, address)
    return {
      file = ffi.string(r.file), type = r.type, mode = r.mode,
      res_w = r.res_w, res_h = r.res_h, pad_w = r.pad_w, pad_h = r.pad_h,
      color = swap_red_blue(r.color), sample_n = r.sample_n, mirror = r.mirror,
    }
  end,
  [80] = function(address)
    local r = ffi.cast(filter_ptr, address)
    return {
      type = r.type, filter = r.filter,
      name = ffi.string(r.name), param = ffi.string(r.param),
    }
  end,
}

local function object(a, index)
  local build = builders[index]
  if not build then return nil end
  local slot = ffi.cast(u32_ptr, a.ModuleAddress + a.ObjectAddressList + 4 * index)[0]
  if slot == 0 then return nil end
  local record = ffi.cast(u32_ptr, slot + a.ObjectDataOffset)[0]
  if record == 0 then return nil end
  return build(record)
end

local function text(a)
  return ansi(ffi.cast(wide_ptr, a.ModuleAddress + a.TextBufferAddress))
end

return { object = object, text = text }
