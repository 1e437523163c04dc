# The panel's start-up, rendered offscreen into a picture, against an empty
# window of the same size, and against itself on a small web root.
many=$(size 10000 300)
few=100
for n in "$many" "$few"; do
  mkdir -p "$work/home$n/.config"
  "$root/bench/make-inputs" webroot "$work/home$n/public_html" "$n"
done
panel() {
  echo "cd '$work' && HOME='$work/home$1' XDG_CONFIG_HOME='$work/home$1/.config' '$build/porthold' --screenshot '$work/panel$1.png'"
}
row "Panel start-up, $many folders" --cpu 2 --memory 2 \
  --ours "$(panel "$many")" \
  --peer "'$build/bench/phbench-window' '$work/window.png'"
row "Panel start-up, $many vs $few folders" --cpu 1.2 --memory 1.2 \
  --ours "$(panel "$many")" \
  --peer "$(panel "$few")"
