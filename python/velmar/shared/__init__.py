"""What several packages of velmar share: the names and headers of the files
a recording leaves beside its video, why a recording stopped with its exit
status, and how many frames a video holds. It imports none of them."""
