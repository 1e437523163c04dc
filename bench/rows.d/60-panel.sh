# The panel's start-up, rendered offscreen into a picture, against an empty
# window of the same size, and against itself on a small web root.
many=$(size 10000 300)
few=100
# The panel's own settings, pointing it at the generated web root.
for n in "$many" "$few"; do
  mkdir -p "$work/config$n/porthold"
  "$root/bench/make-inputs" webroot "$work/www$n" "$n"
  cat > "$work/config$n/porthold/com.quillmere.porthold.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>Allow Custom Web Dir</key><true/>
<key>Porthold Protected Folder</key><integer>2</integer>
<key>Web Dir</key><string>$work/www$n</string>
</dict></plist>
PLIST
done
panel() {
  echo "cd '$work' && XDG_CONFIG_HOME='$work/config$1' '$build/porthold' --screenshot '$work/panel$1.png'"
}
row "Panel start-up, $many folders" --cpu 2 --memory 2 \
  --ours "$(panel "$many")" \
  --peer "'$build/bench/phbench-window' '$work/window.png'"
row "Panel start-up, $many vs $few folders" --cpu 1.2 --memory 1.2 \
  --ours "$(panel "$many")" \
  --peer "$(panel "$few")"
