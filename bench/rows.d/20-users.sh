# Changing one user's password in a large user file, against htpasswd on the
# same file.
users=$(size 100000 5000)
mkdir -p "$work/ours" "$work/peer"
"$root/bench/make-inputs" users "$work/ours/.htusers" "$users"
cp "$work/ours/.htusers" "$work/peer/.htusers"
middle=$(printf 'user%06d' $((users / 2)))
row "Change one password, $users-user file" --cpu 1.0 --memory 2 \
  --ours "echo secret | XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/ours' user passwd $middle" \
  --peer "htpasswd -b -d '$work/peer/.htusers' $middle secret 2>/dev/null"
