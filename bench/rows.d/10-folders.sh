# Listing the web root's folders with their protection, against reading every
# access file with cat (the I/O floor), on two trees of the same size: flat,
# every folder with a 23-line access file of the panel's in one of three
# modes; and a web tree as sites have them (folders four levels deep, pages,
# half of the folders with an access file: every mode the panel writes and
# files written by hand). cat is given every access file by the shell, which
# lists the folders to find them.
folders=$(size 10000 300)
"$root/bench/make-inputs" webroot "$work/www" "$folders"
row "Folder tree listing, $folders folders" --cpu 2 \
  --ours "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/www' tree" \
  --peer "cd '$work/www' && cat */.htaccess"
"$root/bench/make-inputs" webtree "$work/tree" "$folders"
row "Folder tree listing, $folders folders of a mixed web tree" --cpu 2 \
  --ours "cd '$work' && XDG_CONFIG_HOME='$work/config' '$build/portholdctl' --root '$work/tree' tree" \
  --peer "cd '$work/tree' && cat */.htaccess */*/.htaccess */*/*/.htaccess"
