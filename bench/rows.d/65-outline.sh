# Paging down and back up through the folder outline, every row open, on a
# tree of folders five levels deep (every third with an access file), against
# an empty QTreeView of the same rows: CPU seconds per page drawn.
folders=$(size 10000 300)
"$root/bench/make-inputs" outline "$work/tree" "$folders"
mkdir -p "$work/config"
row "Outline scroll, $folders folders five deep, per page" --cpu 2 \
  --ours "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/bench/phbench-outline' '$work/tree'" \
  --peer "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/bench/phbench-outline' --peer '$work/tree'"
