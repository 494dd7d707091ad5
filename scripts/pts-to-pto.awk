# A .pts project as a Hugin .pto for cpfind: one `i` line per image with the same lens and pose
# values, images by absolute path (dir: the project's folder).
#   awk -v dir=/abs/folder -f scripts/pts-to-pto.awk rig.pts > rig.pto
BEGIN { print "p f2 w8000 h4000 v360 n\"TIFF_m\""; print "m i0" }
/^#-imgfile / { w = $2; h = $3; f = $4; gsub(/"/, "", f) }
/^o / {
    line = "i w" w " h" h
    for (k = 2; k <= NF; ++k)
        if ($k ~ /^[fvabcdeypr]-?[0-9.]/) line = line " " $k
    print line " n\"" (f ~ /^\// ? f : dir "/" f) "\""
}
