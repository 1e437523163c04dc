# The panel's start-up, rendered offscreen into a picture, against an empty
# window of the same size, and against itself on a small web root; and on a
# web tree as sites have them (make-inputs webtree: every mode the panel
# writes, files written by hand, folders inside folders).
many=$(size 10000 300)
few=100
# The panel's own settings, pointing it at a generated web root.
settings() {
  mkdir -p "$work/config$1/porthold"
  cat > "$work/config$1/porthold/com.quillmere.porthold.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>Allow Custom Web Dir</key><true/>
<key>Porthold Protected Folder</key><integer>2</integer>
<key>Web Dir</key><string>$work/www$1</string>
</dict></plist>
PLIST
}
for n in "$many" "$few"; do
  "$root/bench/make-inputs" webroot "$work/www$n" "$n"
  settings "$n"
done
"$root/bench/make-inputs" webtree "$work/wwwtree" "$many"
settings tree
panel() {
  echo "cd '$work' && XDG_CONFIG_HOME='$work/config$1' '$build/porthold' --screenshot '$work/panel$1.png'"
}
# The empty window takes the size the panel's picture has (its width and
# height are big-endian at bytes 16 to 23 of the PNG file).
sh -c "$(panel "$few")" >/dev/null 2>&1
read -r width height <<SIZE
$(od -An -tu1 -j16 -N8 "$work/panel$few.png" |
  awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
SIZE
window="'$build/bench/phbench-window' '$work/window.png' $width $height"
row "Panel start-up, $many folders" --cpu 2 --memory 2 \
  --ours "$(panel "$many")" \
  --peer "$window"
row "Panel start-up, $many folders of a mixed web tree" --cpu 2 --memory 2 \
  --ours "$(panel tree)" \
  --peer "$window"
row "Panel start-up, $many vs $few folders" --cpu 1.2 --memory 1.2 \
  --ours "$(panel "$many")" \
  --peer "$(panel "$few")"
