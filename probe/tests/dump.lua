-- Prints what Quorvane returns inside this host, one value a line, for the
-- probe's test to compare with what the probe finds from outside:
--
--   record <type>                    GetObjectData gave a table
--   field <type> <name> n <number>
--   field <type> <name> s <hex of the string's bytes>
--   text <hex of the bytes>          GetTextbufferString gave a string
--
--   sample_host.exe dump.lua PROFILE
local Q = require "Quorvane"
local profile = assert(arg and arg[1], "usage: dump.lua PROFILE")
local addr = assert(Q.GetAddress(profile), "GetAddress gave nil for " .. profile)

local function hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

for index = -1, 100 do
  local record = Q.GetObjectData(addr, index)
  if record ~= nil then
    print("record " .. index)
    local names = {}
    for name in pairs(record) do names[#names + 1] = name end
    table.sort(names)
    for _, name in ipairs(names) do
      local value = record[name]
      if type(value) == "number" then
        print(string.format("field %d %s n %.17g", index, name, value))
      else
        print(string.format("field %d %s s %s", index, name, hex(value)))
      end
    end
  end
end
local text = Q.GetTextbufferString(addr)
if text ~= nil then print("text " .. hex(text)) end
