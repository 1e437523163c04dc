# Listing one chain of folders, each with an access file, against the same
# listing of a chain a quarter as deep, in the same run: a walk costs in
# proportion to the folders it visits (so about four times here), where
# finding each folder and the access files above it from the web root again
# cost the cube of the depth.
for pair in "400 100" "800 200"; do
  set -- $pair
  deep=$(size "$1" $(($1 / 10)))
  shallow=$(size "$2" $(($2 / 10)))
  for n in "$deep" "$shallow"; do
    [ -d "$work/chain$n" ] || "$root/bench/make-inputs" chain "$work/chain$n" "$n"
  done
  row "tree, depth $deep vs depth $shallow" --cpu 5 \
    --ours "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/chain$deep' tree" \
    --peer "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/chain$shallow' tree"
done
