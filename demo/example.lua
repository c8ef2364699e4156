-- Reads the demo host module's data through Quorvane, as a script in the
-- host application would.
--
--   sample_host.exe example.lua [PROFILE]
--
-- PROFILE defaults to example-profile.ini beside this script. Profile paths
-- must be absolute: Windows looks for a bare file name in its own folder.

local Q = require "Quorvane"

local here = (arg and arg[0] or ""):match("^(.*[\\/])") or ""
local profile = arg and arg[1] or (here .. "example-profile.ini")

-- Host addresses are unsigned 32-bit numbers; format them in two halves, as
-- %X of a number at or above 2^31 is not portable across Lua 5.1 runtimes.
local function hex(n, digits)
  local s = string.format("%04X%04X", math.floor(n / 65536), n % 65536)
  return "0x" .. s:sub(-(digits or 8))
end

-- Field names of each record layout, in the order the module stores them.
local LAYOUTS = {
  [0] = { "file" },
  [1] = { "file" },
  [2] = { "file" },
  [3] = { "type", "autoadjust", "soft", "monospace", "align", "spacing_x",
          "spacing_y", "precision", "color", "color2", "font", "text" },
  [4] = { "type", "color", "name" },
  [5] = {},
  [6] = { "file", "type", "mode", "res_w", "res_h", "pad_w", "pad_h",
          "color", "sample_n", "mirror" },
  [7] = { "scene_id" },
  [8] = {},
  [9] = {},
  [10] = { "blend" },
  [11] = { "blend" },
  [12] = {},
  [13] = { "blend" },
  [80] = { "type", "filter", "name", "param" },
}
local TYPES = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 80 }

local function show(value, name)
  if type(value) == "string" then return string.format("%q", value) end
  if type(value) == "number" and (name == "color" or name == "color2") then
    return string.format("%d (%s)", value, hex(value, 6))
  end
  return tostring(value)
end

print(_VERSION .. (jit and (" / " .. jit.version) or ""))
print()

-- GetAddress gives nil when the profile is missing or lacks
-- Config.Version or Config.Module.
local addr = Q.GetAddress(profile)
if not addr then
  error("cannot read the address profile " .. profile, 0)
end
print("GetAddress(" .. profile .. ")")
for _, key in ipairs { "ModuleAddress", "ObjectAddressList", "ObjectDataOffset", "TextBufferAddress" } do
  print(string.format("  %-18s %s", key, hex(addr[key])))
end
-- A module that is not loaded is no error: its base is 0, and every read
-- through the table gives nil.
if addr.ModuleAddress == 0 then
  error("the module named in " .. profile .. " is not loaded", 0)
end
print()

for _, index in ipairs(TYPES) do
  local record = Q.GetObjectData(addr, index)
  if record == nil then
    print(string.format("GetObjectData(addr, %d) = nil", index))
  elseif next(record) == nil then
    print(string.format("GetObjectData(addr, %d) = {}", index))
  else
    print(string.format("GetObjectData(addr, %d)", index))
    for _, name in ipairs(LAYOUTS[index]) do
      print(string.format("  %-10s %s", name, show(record[name], name)))
    end
  end
end
print()

print("GetTextbufferString(addr)")
print("  " .. show(Q.GetTextbufferString(addr)))
print()

-- Idioms.
print("Idioms")

-- Check for nil before using a record: there may be no current object.
local text = Q.GetObjectData(addr, 3)
if text then
  print(string.format("  text object: %q in %s, spacing %d/%d, colour %s",
    text.text, text.font, text.spacing_x, text.spacing_y, hex(text.color, 6)))
else
  print("  no text object")
end

-- Type indices without a layout give nil, whatever the host holds. A call
-- that finds nothing returns no values at all: put it in parentheses where
-- exactly one value is needed, as for tostring.
for _, index in ipairs { 14, 79, 81 } do
  print(string.format("  GetObjectData(addr, %d) -> %s", index, tostring((Q.GetObjectData(addr, index)))))
end

-- Parse the filter's parameter string into a table.
local filter = Q.GetObjectData(addr, 80)
if filter then
  local settings = {}
  for key, value in filter.param:gmatch("([^=;]+)=([^;]*)") do
    settings[key] = tonumber(value) or value
  end
  print(string.format("  filter %q: radius %s, sigma %s", filter.name,
    tostring(settings.radius), tostring(settings.sigma)))
end

-- An address table is a plain table that a script may copy and change. With
-- ModuleAddress 0, as for a module that is not loaded, every read gives nil.
local unloaded = {}
for key, value in pairs(addr) do unloaded[key] = value end
unloaded.ModuleAddress = 0
print("  with ModuleAddress 0: GetObjectData -> " .. tostring((Q.GetObjectData(unloaded, 0)))
  .. ", GetTextbufferString -> " .. tostring((Q.GetTextbufferString(unloaded))))

-- Bad arguments are Lua errors, not nil.
local ok, err = pcall(function() Q.GetObjectData(addr, "three") end)
print("  GetObjectData(addr, \"three\") raises: " .. tostring(not ok and err))
-- The commonest: passing on the nil of a GetAddress that failed.
ok, err = pcall(Q.GetObjectData, nil, 3)
print("  GetObjectData(nil, 3) raises: " .. tostring(not ok and err))
