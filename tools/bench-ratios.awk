# The ratio table of tools/bench.sh for one runtime (-v rt=puc|luajit):
# min-max across placements of each figure the bench lines give ("ratio",
# "ns" and "memory" lines).
BEGIN {
  split("object3 object6 object80 text address call", order, " ")
  label["object3"] = "GetObjectData, layout 3"; label["object6"] = "GetObjectData, layout 6"
  label["object80"] = "GetObjectData, layout 80"; label["text"] = "GetTextbufferString, 100 chars"
  label["call"] = "empty C function"; label["address"] = "GetAddress, 4-section profile"
  split("floor floor_table same ffi", variants, " ")
}
function note(key, v) {
  if (!(key in lo) || v < lo[key]) lo[key] = v
  if (!(key in hi) || v > hi[key]) hi[key] = v
}
$1 == "ratio" { note($2 " " $3, $4 + 0) }
$1 == "ns" { note($2 " ns", $4 + 0) }
$1 == "memory" { note($2 " memory", $3 + 0) }
END {
  printf "\n%s\n%-31s %-17s %-11s %-11s %-11s %-11s %s\n", rt, "function", "module ns",
         "/floor", "/f+t", "/same", "/FFI", "memory growth (B)"
  for (i = 1; i <= 6; ++i) {
    c = order[i]
    if (!((c " ns") in lo)) continue
    line = sprintf("%-31s %-17s", label[c], sprintf("%d-%d", lo[c " ns"], hi[c " ns"]))
    for (j = 1; j <= 4; ++j) {
      k = c " " variants[j]
      line = line sprintf(" %-11s", (k in lo) ? sprintf("%.2f-%.2f", lo[k], hi[k]) : "-")
    }
    k = c " memory"
    line = line " " ((k in lo) ? sprintf("%+d..%+d", lo[k], hi[k]) : "-")
    print line
  }
}